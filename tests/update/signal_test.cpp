// SIGTERM handling: the handler only asks, the main thread ends the run; and
// a handler's return leaves the main thread its own identity.
#include "base.h"
#include "update_test_util.h"

#include <csignal>

namespace {

int wake[2];

void *wait_for_wake(void *) {
    char byte;
    (void)!read(wake[0], &byte, 1);
    return nullptr;
}

TEST(MainThreadSignals, HandlerReturnKeepsTheMainThreadsIdentity) {
    update_init("update");
    pthread_t self = pthread_self();
    ASSERT_EQ(pipe(wake), 0);
    // A thread created after the main one, as the watcher and the monitors are.
    pthread_t other;
    ASSERT_EQ(spawn_thread(&other, wait_for_wake), 0);
    struct sigaction act = {}, old;
    act.sa_handler = [](int) { keep_thread_pointer(); };
    sigemptyset(&act.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &act, &old), 0);
    ASSERT_EQ(pthread_kill(self, SIGUSR1), 0);
    bool same = pthread_equal(pthread_self(), self) != 0;
    sigaction(SIGUSR1, &old, nullptr);
    (void)!write(wake[1], "x", 1);
    EXPECT_EQ(pthread_join(other, nullptr), 0); // not "joining myself"
    close(wake[0]);
    close(wake[1]);
    EXPECT_TRUE(same);
    EXPECT_TRUE(update_on_main_thread());
}

class Sigterm : public UpdateStateTest {};

TEST_F(Sigterm, HandlerAsksAndTheMainThreadEndsWithOne) {
    EXPECT_EXIT(
        {
            update_init("update");
            if (freopen((dir_ + "/console").c_str(), "w", stdout) == nullptr)
                exit(90);
            run_flag_set(RUN_DEBUG);
            if (install_sigterm_handling() != 0)
                exit(91);
            raise(SIGTERM);
            // Nothing has happened yet but the request.
            if (pending_termination() != TERM_REQUEST_USER)
                exit(92);
            printf("still running\n");
            termination_point();
            exit(93);
        },
        ::testing::ExitedWithCode(UPDATE_EXIT_TERMINATED), "");
    EXPECT_EQ(state(), "Terminated by the user\n");
    std::ifstream in(dir_ + "/console");
    std::stringstream console;
    console << in.rdbuf();
    EXPECT_EQ(console.str(), "still running\n"
                             "  update: The application is terminated by the user\n"
                             "\n  update: The application is terminated through an error\n\n");
}

} // namespace
