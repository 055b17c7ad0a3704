// A static 32-bit program for the sandbox's own tests: shows what a product
// binary sees (its argv[0], its arguments) and how signals reach it.
//   probe exit N   prints its argv and exits with N
//   probe wait     prints "ready", creates /tmp/probe.ready, then waits for
//                  SIGTERM and exits with 7
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static void on_term(int) {
    static const char msg[] = "got SIGTERM\n";
    (void)!write(1, msg, sizeof msg - 1);
    _exit(7);
}

int main(int argc, char **argv) {
    printf("argv0=%s pointer-bits=%zu\n", argv[0], sizeof(void *) * 8);
    for (int i = 1; i < argc; i++)
        printf("arg%d=%s\n", i, argv[i]);
    fprintf(stderr, "probe on stderr\n");
    fflush(stdout);
    if (argc >= 3 && strcmp(argv[1], "exit") == 0)
        return atoi(argv[2]);
    if (argc >= 2 && strcmp(argv[1], "wait") == 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_term;
        sigaction(SIGTERM, &sa, nullptr);
        printf("ready\n");
        fflush(stdout);
        FILE *f = fopen("/tmp/probe.ready", "w");
        if (f)
            fclose(f);
        for (;;)
            pause();
    }
    return 0;
}
