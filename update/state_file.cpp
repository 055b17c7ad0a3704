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

} // namespace

int write_state(const char *path, const char *format, ...) {
    // Replaced whole, never truncated in place: the main thread and a monitor
    // write at nearly the same moment. Synced before we go on, progress
    // reports too: after a power cut swap finds the last line written whole,
    // never a file of NUL bytes.
    va_list ap;
    va_start(ap, format);
    Message m = {format, &ap};
    bool ok = file_replace(path, 0644, write_message, &m) == 0;
    va_end(ap);
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
