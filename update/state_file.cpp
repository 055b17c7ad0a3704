// The one-line state file that swap reads.
#include "update_internal.h"

#include "base.h"

#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Message {
    const char *format;
    va_list *ap;
};

int write_message(FILE *out, const void *ctx) {
    auto *m = static_cast<const Message *>(ctx);
    return vfprintf(out, m->format, *m->ap) >= 0 ? 0 : -1;
}

// Writes one message; see write_state.
int replace_state(const char *path, bool durable, const char *format, va_list ap) {
    // Replaced whole, never truncated in place: the main thread and a monitor
    // write at nearly the same moment.
    va_list copy;
    va_copy(copy, ap);
    Message m = {format, &copy};
    bool ok = file_replace(path, 0644, write_message, &m, durable) == 0;
    va_end(copy);
    if (ok)
        return 0;
    // An old verdict must not be what swap reads after a failed run.
    unlink(path);
    debug_print("  %s: Cannot open %s\n", program_name, path);
    if (update_on_main_thread())
        update_terminate(UPDATE_EXIT_OPEN);
    request_termination(TERM_REQUEST_STATE_FILE);
    return UPDATE_EXIT_OPEN;
}

} // namespace

int write_state(const char *path, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    // On the disk before we go on: a verdict must survive a power cut, and so
    // must the first message of a run, which replaces an earlier verdict.
    int rc = replace_state(path, true, format, ap);
    va_end(ap);
    return rc;
}

int write_progress(const char *path, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    // Five times a second: lost in a power cut, it leaves the message before
    // it, which was synced.
    int rc = replace_state(path, false, format, ap);
    va_end(ap);
    return rc;
}
