// write_state and update_terminate: whole-file replacement, concurrent
// writers, failures that end the run with 21, nested termination, exit codes.
#include "update_test_util.h"

#include <atomic>
#include <csignal>
#include <dirent.h>
#include <sys/resource.h>
#include <thread>

namespace {

// Names in dir other than "." and "..".
std::vector<std::string> list_dir(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    return names;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class StateFile : public UpdateStateTest {
  protected:
    // Console of a death-test child, sent to a file the parent reads afterwards.
    std::string console_path() const {
        return dir_ + "/console";
    }
    void redirect_console() const {
        if (freopen(console_path().c_str(), "w", stdout) == nullptr)
            exit(90);
    }
    std::string console() const {
        return read_file(console_path());
    }
};

TEST_F(StateFile, EachMessageReplacesTheWholeFile) {
    ASSERT_EQ(write_state(state_path_.c_str(), "Using the %s %s FTP mode\n", "indirect", "auto"),
              0);
    EXPECT_EQ(state(), "Using the indirect auto FTP mode\n");
    ASSERT_EQ(write_state(state_path_.c_str(), "Error %i (Exit)\n", 42), 0);
    EXPECT_EQ(state(), "Error 42 (Exit)\n");
    struct stat st;
    ASSERT_EQ(stat(state_path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{".update.state"});
}

TEST_F(StateFile, ConcurrentWritersNeverLeaveAMix) {
    // The main thread and a monitor write at the same moment; a reader (swap)
    // must always find one whole message.
    const std::string a = "Terminated by the user\n";
    const std::string b = "Download progress 7%\n";
    ASSERT_EQ(write_state(state_path_.c_str(), "%s", a.c_str()), 0);
    std::atomic<bool> stop{false};
    auto writer = [&](const std::string &msg) {
        for (int i = 0; i < 300 && !stop.load(); ++i)
            write_state(state_path_.c_str(), "%s", msg.c_str());
    };
    std::thread ta(writer, a), tb(writer, b);
    int bad = 0;
    for (int i = 0; i < 600; ++i) {
        std::string s = state();
        if (s != a && s != b)
            ++bad;
    }
    stop.store(true);
    ta.join();
    tb.join();
    EXPECT_EQ(bad, 0);
    std::string last = state();
    EXPECT_TRUE(last == a || last == b) << last;
    EXPECT_EQ(list_dir(dir_).size(), 1u);
}

TEST_F(StateFile, FileThatCannotBeOpenedEndsTheRunWith21) {
    std::string missing = dir_ + "/cfg/.update.state";
    EXPECT_EXIT(
        {
            update_init("update"); // the child is a new main thread
            redirect_console();
            update_state_path = missing.c_str();
            run_flag_set(RUN_DEBUG);
            write_state(missing.c_str(), "Using the %s %s FTP mode\n", "direct", "auto");
            exit(99);
        },
        ::testing::ExitedWithCode(UPDATE_EXIT_OPEN), "");
    EXPECT_EQ(console(), "  update: Cannot open " + missing +
                             "\n\n  update: The application is terminated through an error\n\n");
}

TEST_F(StateFile, FailedWriteLeavesNoOldVerdictAndEndsWith21) {
    ASSERT_EQ(write_state(state_path_.c_str(), "You can swap the system\n"), 0);
    EXPECT_EXIT(
        {
            update_init("update"); // the child is a new main thread
            // The file system takes no more than 8 bytes from us.
            signal(SIGXFSZ, SIG_IGN);
            rlimit lim;
            lim.rlim_cur = lim.rlim_max = 8;
            setrlimit(RLIMIT_FSIZE, &lim);
            write_state(state_path_.c_str(), "Using the direct auto FTP mode\n");
            exit(99);
        },
        ::testing::ExitedWithCode(UPDATE_EXIT_OPEN), "");
    EXPECT_EQ(list_dir(dir_), std::vector<std::string>{});
}

TEST_F(StateFile, SuccessWritesTheVerdictAndExitsWithZero) {
    EXPECT_EXIT(
        {
            update_init("update"); // the child is a new main thread
            redirect_console();
            run_flag_set(RUN_DEBUG | RUN_FORCED);
            update_terminate(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(state(), "You can swap the system\n");
    EXPECT_EQ(console(),
              "  update: You can swap the system\n\n  update: The application is terminated\n\n");
}

struct ExitCase {
    const char *name;
    uint32_t flags;
    int code;
    int want_exit;
    const char *want_state; // nullptr: the file stays as it was
};

constexpr ExitCase exit_cases[] = {
    {"CodeKeptToItsLowByte", RUN_FORCED, 300, 44, nullptr},
    {"ErrorWritesNoVerdict", RUN_FORCED, 64, 64, nullptr},
    {"ResourceLeftGives255", RUN_FORCED | 0x00000010u, 0, 255, nullptr},
    // Not forced: the installed version is checked, and here there is none.
    {"MissingVersionFileGives21", 0, 0, 21, "Error 21 (.version)\n"},
    {"VersionCheckOnlyOnSuccess", 0, 23, 23, nullptr},
};

class TerminateExit : public StateFile, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(TerminateExit, Codes) {
    const ExitCase &c = GetParam();
    ASSERT_EQ(write_state(state_path_.c_str(), "before\n"), 0);
    EXPECT_EXIT(
        {
            update_init("update"); // the child is a new main thread
            run_flag_set(c.flags);
            update_terminate(c.code);
        },
        ::testing::ExitedWithCode(c.want_exit), "");
    EXPECT_EQ(state(), c.want_state != nullptr ? c.want_state : "before\n");
}

INSTANTIATE_TEST_SUITE_P(Table, TerminateExit, ::testing::ValuesIn(exit_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(StateFile, VerdictThatCannotBeWrittenEndsWith21NotZero) {
    std::string missing = dir_ + "/cfg/.update.state";
    EXPECT_EXIT(
        {
            update_init("update"); // the child is a new main thread
            redirect_console();
            update_state_path = missing.c_str();
            run_flag_set(RUN_DEBUG | RUN_FORCED);
            update_terminate(0);
        },
        ::testing::ExitedWithCode(UPDATE_EXIT_OPEN), "");
    EXPECT_EQ(console(), "  update: Cannot open " + missing +
                             "\n\n  update: The application is terminated through an error\n\n");
}

TEST_F(StateFile, NestedTerminationRunsTheRemountOnceAndEnds) {
    // The remount fails and so does the message about it: the nested
    // termination must not try the remount again, and must still exit.
    std::string missing = dir_ + "/cfg/.update.state";
    EXPECT_EXIT(
        {
            update_init("update"); // the child is a new main thread
            redirect_console();
            update_state_path = missing.c_str();
            memcpy(standby_device, "/dev/hdax", 10);
            run_flag_set(RUN_DEBUG | RUN_UNMOUNTED);
            update_terminate(0);
        },
        ::testing::ExitedWithCode(UPDATE_EXIT_RESOURCE), "");
    EXPECT_EQ(console(), "  update: Cannot mount the target partition\n"
                         "  update: Cannot open " +
                             missing +
                             "\n\n  update: The application is terminated through an error\n\n");
}

} // namespace
