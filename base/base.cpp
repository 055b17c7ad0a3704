#include "base.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#if defined(__i386__)
#include <asm/ldt.h>
#include <sys/syscall.h>
#endif

void UniqueFd::reset(int f) {
    if (fd >= 0) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    fd = f;
}

int pipe_open(UniquePipe *p, int size) {
    int fd[2];
    if (pipe2(fd, O_CLOEXEC) != 0)
        return -1;
    p->read_end.reset(fd[0]);
    p->write_end.reset(fd[1]);
    int room = fcntl(fd[1], F_SETPIPE_SZ, size);
    return room > 0 ? room : fcntl(fd[1], F_GETPIPE_SZ);
}

void writeback_begin(Writeback *w, int fd) {
    struct stat st;
    *w = Writeback{};
    if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode))
        w->fd = fd;
}

int writeback_progress(Writeback *w, int64_t written) {
    // Large enough for the device to take each window in a few big requests,
    // small enough that the cache stays small.
    constexpr int64_t writeback_window = 4 * 1024 * 1024;
    if (w->fd < 0 || written - w->started < writeback_window)
        return 0;
    // Advisory: what is not started here the fsync does.
    sync_file_range(w->fd, w->started, written - w->started, SYNC_FILE_RANGE_WRITE);
    if (w->started > w->settled) {
        constexpr unsigned wait_all =
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
        if (sync_file_range(w->fd, w->settled, w->started - w->settled, wait_all) != 0)
            return -1;
        posix_fadvise(w->fd, w->settled, w->started - w->settled, POSIX_FADV_DONTNEED);
        w->settled = w->started;
    }
    w->started = written;
    return 0;
}

namespace {

// Puts path's folder into dir ("." for a bare name). Returns the name within
// it, or nullptr when path does not fit.
const char *folder_of(const char *path, char *dir, size_t size) {
    int n = snprintf(dir, size, "%s", path);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return nullptr;
    char *slash = strrchr(dir, '/');
    if (slash == nullptr) {
        snprintf(dir, size, ".");
        return path;
    }
    const char *name = path + (slash - dir) + 1;
    slash[slash == dir ? 1 : 0] = '\0';
    return name;
}

// The rename is in place already; syncing the folder only hastens it to the
// disk, so a failure here is no failure of the replacement.
void sync_folder(const char *path) {
    char dir[PATH_MAX];
    if (folder_of(path, dir, sizeof dir) == nullptr)
        return;
    UniqueFd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd >= 0)
        fsync(fd.fd);
}

} // namespace

int file_replace(const char *path, mode_t mode, FileWriter write, const void *ctx) {
    // A name of this process's own; two of its threads may race for one, so
    // the loser takes the next. Created with mode, the umask applies as it
    // would to a plain create.
    char tmp[PATH_MAX];
    UniqueFd fd;
    for (int attempt = 0; fd.fd < 0 && attempt < 100; ++attempt) {
        int n = snprintf(tmp, sizeof tmp, "%s.tmp%ld.%d", path, long(getpid()), attempt);
        if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) {
            errno = ENAMETOOLONG;
            return -1;
        }
        fd.reset(open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (fd.fd < 0 && errno != EEXIST)
            return -1;
    }
    if (fd.fd < 0)
        return -1;
    // The file keeps the permissions it had.
    struct stat old;
    bool ok = stat(path, &old) != 0 || fchmod(fd.fd, old.st_mode & 07777) == 0;
    FilePtr out(ok ? fdopen(fd.fd, "w") : nullptr);
    if (out)
        fd.release();
    // A full disk shows only when the buffer goes out, at flush or close. The
    // data must be on the disk before the new name is: ext2 may write the
    // rename back first, and a power cut then leaves a file of NUL bytes.
    ok = out && write(out.get(), ctx) == 0 && fflush(out.get()) == 0 && !ferror(out.get()) &&
         fsync(fileno(out.get())) == 0;
    ok = (!out || fclose(out.release()) == 0) && ok;
    if (!ok || rename(tmp, path) != 0) {
        int saved = errno;
        unlink(tmp);
        errno = saved;
        return -1;
    }
    sync_folder(path);
    return 0;
}

void file_replace_clean(const char *path) {
    char dir[PATH_MAX];
    const char *base = folder_of(path, dir, sizeof dir);
    if (base == nullptr)
        return;
    size_t base_len = strlen(base);
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir), closedir);
    if (!d)
        return;
    while (dirent *e = readdir(d.get())) {
        // Exactly file_replace's pattern: base.tmp<pid>.<n>
        const char *p = e->d_name;
        if (strncmp(p, base, base_len) != 0 || strncmp(p + base_len, ".tmp", 4) != 0)
            continue;
        p += base_len + 4;
        char *end;
        errno = 0;
        long pid = isdigit(static_cast<unsigned char>(*p)) ? strtol(p, &end, 10) : -1;
        if (pid <= 0 || errno != 0 || *end != '.' || !isdigit(static_cast<unsigned char>(end[1])))
            continue;
        for (p = end + 1; isdigit(static_cast<unsigned char>(*p));)
            ++p;
        if (*p != '\0')
            continue;
        // A live writer's file is its own business.
        bool gone = pid == long(getpid()) || (kill(pid_t(pid), 0) != 0 && errno == ESRCH);
        struct stat st;
        if (gone && fstatat(dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            unlinkat(dirfd(d.get()), e->d_name, 0);
    }
}

int open_regular(const char *path, int flags, mode_t mode) {
    UniqueFd fd(open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode));
    struct stat st;
    if (fd.fd < 0) {
        // A FIFO without a reader refuses a non-blocking writer (ENXIO).
        if (errno == ENXIO && stat(path, &st) == 0 && !S_ISREG(st.st_mode))
            errno = EINVAL;
        return -1;
    }
    if (fstat(fd.fd, &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return fd.release();
}

FILE *fopen_regular(const char *path, int flags) {
    UniqueFd fd(open_regular(path, flags));
    if (fd.fd < 0)
        return nullptr;
    FILE *f = fdopen(fd.fd, (flags & O_ACCMODE) == O_RDONLY ? "r" : "w");
    if (f != nullptr)
        fd.release();
    return f;
}

int run_lock_take(const char *path) {
    // O_NOFOLLOW: a link planted here must not make us create or lock
    // another file; O_NONBLOCK: a FIFO must not hold us at the open. Read
    // only: a lock needs no more, and the file exists after the first run
    // even where the folder is later mounted read-only.
    UniqueFd fd(open_regular(path, O_RDONLY | O_CREAT | O_NOFOLLOW, 0600));
    if (fd.fd < 0)
        return errno == EROFS ? RUN_LOCK_NONE : RUN_LOCK_FAILED;
    if (flock(fd.fd, LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? RUN_LOCK_BUSY : RUN_LOCK_FAILED;
    return fd.release();
}

void keep_thread_pointer() {
#if defined(__i386__)
    // Only the base differs between the threads' entries: take the entry's
    // flags as they stand and put back our own thread's base, which the
    // segment still holds until the handler returns.
    unsigned short gs;
    asm volatile("movw %%gs, %0" : "=r"(gs));
    user_desc desc{};
    desc.entry_number = gs >> 3;
    if (syscall(SYS_get_thread_area, &desc) != 0)
        return;
    desc.base_addr = static_cast<unsigned>(pthread_self());
    syscall(SYS_set_thread_area, &desc);
#endif
}
