// The one-line state file that swap reads.
#include "update.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Makes a rename in path's folder durable; nothing to report if it fails.
void sync_directory(const char *path) {
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Writes message into a fresh file beside path and renames it over path. The
// main thread and a monitor write at nearly the same moment; truncating the
// file in place would let the longer message's tail survive the shorter one.
// Returns true when the new content is in place; on failure path is untouched.
bool replace_file(const char *path, const char *format, va_list ap) {
    std::string tmp = std::string(path) + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        return false;
    FILE *f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        unlink(tmp.c_str());
        return false;
    }
    // mkstemp creates 0600; the file was always readable to everyone.
    bool ok = fchmod(fd, 0644) == 0;
    ok = vfprintf(f, format, ap) >= 0 && ok;
    ok = fflush(f) == 0 && ok;
    // A verdict must survive a power cut once we have reported it.
    ok = fsync(fd) == 0 && ok;
    ok = fclose(f) == 0 && ok;
    if (ok && rename(tmp.c_str(), path) == 0) {
        sync_directory(path);
        return true;
    }
    unlink(tmp.c_str());
    return false;
}

} // namespace

int write_state(const char *path, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    bool ok = replace_file(path, format, ap);
    va_end(ap);
    if (ok)
        return 0;
    // The last message stays in place when it cannot be replaced; an old
    // verdict must not be what swap then reads.
    unlink(path);
    debug_print("  %s: Cannot open %s\n", program_name, path);
    if (update_on_main_thread())
        update_terminate(UPDATE_EXIT_OPEN);
    request_termination(TERM_REQUEST_STATE_FILE);
    return UPDATE_EXIT_OPEN;
}
