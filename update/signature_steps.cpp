// The signature check of a run: the trusted keys at start-up, the signature
// file fetched before the image, the installed bytes hashed while they are
// written (direct) or copied (indirect), and the check of that hash before
// the partition is remounted. A unit without trusted keys does none of it.
#include "update_internal.h"

#include "base.h"
#include "signature.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

namespace {

// Room in the pipe that carries the download to the hasher; pipe pages are
// not our memory.
constexpr int feed_pipe_size = 1024 * 1024;
// Bytes per read of the hasher. Once the pipe is full the download moves on
// in steps of this size: 16 KiB cost a sixth more CPU time (bench/README.md).
constexpr size_t hash_chunk = 64 * 1024;

SignatureKeyring keyring;
SignatureFile signature;
const SignatureKey *signer;

// One pass of the hasher over what was installed: a pipe read to its end,
// or the first `size` bytes of a device.
struct Hashing {
    crypto_generichash_state state;
    int fd;
    int64_t size; // -1: read fd to its end
    int64_t bytes;
    bool failed;
    bool running; // in its own thread
    pthread_t thread;
};

Hashing hashing;
UniquePipe feed;
unsigned char hash_buffer[hash_chunk];
// The installed bytes' hash, once known, and how many bytes it covers.
uint8_t digest[SIGNATURE_HASH_SIZE];
int64_t digest_bytes = -1;

[[noreturn]] void signature_failed(int result) {
    const char *text = signature_failure_text(result);
    run_failed(UPDATE_EXIT_SIGNATURE, text, "%s", text);
}

void hash_begin(int fd, int64_t size) {
    hashing.fd = fd;
    hashing.size = size;
    hashing.bytes = 0;
    hashing.failed = false;
    crypto_generichash_init(&hashing.state, nullptr, 0, SIGNATURE_HASH_SIZE);
}

void *hash_all(void *) {
    Hashing *h = &hashing;
    for (;;) {
        size_t want = sizeof hash_buffer;
        if (h->size >= 0)
            want = size_t(std::min<int64_t>(int64_t(want), h->size - h->bytes));
        if (want == 0)
            break;
        ssize_t n = h->size >= 0 ? pread(h->fd, hash_buffer, want, h->bytes)
                                 : read(h->fd, hash_buffer, want);
        if (n < 0 && errno == EINTR)
            continue;
        // A device that ends before the image does cannot hold it.
        h->failed = n < 0 || (n == 0 && h->size >= 0);
        if (n <= 0)
            break;
        crypto_generichash_update(&h->state, hash_buffer, size_t(n));
        h->bytes += n;
    }
    return nullptr;
}

// Waits for the hasher, when it runs, and keeps its hash when kept.
void hash_end(bool kept) {
    if (hashing.running)
        pthread_join(hashing.thread, nullptr);
    hashing.running = false;
    if (kept && !hashing.failed) {
        crypto_generichash_final(&hashing.state, digest, sizeof digest);
        digest_bytes = hashing.bytes;
    }
}

// Reads the first image_size bytes of path back to hash them: where no
// hasher could run beside the installation.
void hash_read_back(const char *path) {
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0)
        return;
    hash_begin(fd.fd, image_size.load(std::memory_order_relaxed));
    hash_all(nullptr);
    hash_end(true);
}

// RETR of the signature file in the run's mode, with the image's rule in
// auto mode: active first, passive when no active data connection could be had.
int fetch_in_mode(int mode, const char *name, char *buf, size_t *len, int *whole) {
    if (mode != FTP_MODE_AUTO) {
        ftp_set_passive(ftp_session, mode == FTP_MODE_PASSIVE);
        return ftp_fetch(ftp_session, name, buf, SIGNATURE_FILE_MAX, len, whole, nullptr, nullptr);
    }
    ftp_set_passive(ftp_session, 0);
    int rc = ftp_fetch(ftp_session, name, buf, SIGNATURE_FILE_MAX, len, whole, nullptr, nullptr);
    if (!auto_mode_retries(rc))
        return rc;
    termination_point();
    ftp_set_passive(ftp_session, 1);
    return ftp_fetch(ftp_session, name, buf, SIGNATURE_FILE_MAX, len, whole, nullptr, nullptr);
}

} // namespace

void signature_keys_step(UpdateRun *) {
    int rc = signature_load_keys(SIGNATURE_KEY_DIR, &keyring);
    // Without libsodium working the keys cannot be used either.
    if (rc == SIG_OK && keyring.count > 0 && signature_init() != 0)
        rc = SIG_KEY_BAD;
    if (rc != SIG_OK)
        signature_failed(rc);
}

void signature_fetch_step(UpdateRun *run) {
    if (keyring.count == 0)
        return;
    char name[FTP_LINE_MAX];
    int n = snprintf(name, sizeof name, "%s%s", run->settings.image, SIGNATURE_SUFFIX);
    if (n < 0 || size_t(n) >= sizeof name)
        signature_failed(SIG_NOT_FETCHED); // no command line could carry it
    static char text[SIGNATURE_FILE_MAX];
    size_t len = 0;
    int whole = 0;
    int rc = fetch_in_mode(run->settings.mode, name, text, &len, &whole);
    termination_point();
    // A reply code of 400 and up refused the file; 125 or 150 came with a
    // data connection that then failed.
    if (rc >= 400)
        signature_failed(SIG_MISSING);
    if (rc != FTP_OK)
        signature_failed(SIG_NOT_FETCHED);
    rc = whole ? signature_parse(text, len, &signature) : SIG_MALFORMED;
    if (rc == SIG_OK)
        rc = signature_accept(&signature, &keyring, run->settings.image, &signer);
    if (rc != SIG_OK)
        signature_failed(rc);
}

void signature_feed_open() {
    if (keyring.count == 0 || !run_flag(RUN_DIRECT))
        return;
    digest_bytes = -1;
    // Without a pipe or a thread the check reads the device back instead.
    if (pipe_open(&feed, feed_pipe_size) <= 0)
        return;
    hash_begin(feed.read_end.fd, -1);
    if (spawn_thread(&hashing.thread, hash_all) != 0) {
        feed.read_end.reset();
        feed.write_end.reset();
        return;
    }
    hashing.running = true;
    ftp_download_copy_fd = feed.write_end.fd;
}

void signature_feed_close(bool kept) {
    if (!hashing.running)
        return;
    ftp_download_copy_fd = -1;
    // The end of the pipe is the end of the attempt for the hasher.
    feed.write_end.reset();
    hash_end(kept);
    feed.read_end.reset();
}

void signature_hash_step(UpdateRun *) {
    if (keyring.count == 0 || run_flag(RUN_DIRECT))
        return;
    // The copy is the RAM disk's first image_size bytes: hashed beside it.
    int fd = open(RAMDISK_PATH, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return; // the copy ends the run on it
    hash_begin(fd, image_size.load(std::memory_order_relaxed));
    if (spawn_thread(&hashing.thread, hash_all) == 0)
        hashing.running = true;
    else
        close(fd);
}

void signature_check_step(UpdateRun *) {
    if (keyring.count == 0)
        return;
    if (hashing.running) {
        hash_end(true);
        close(hashing.fd);
    }
    if (digest_bytes < 0)
        hash_read_back(run_flag(RUN_DIRECT) ? standby_device : RAMDISK_PATH);
    if (digest_bytes != image_size.load(std::memory_order_relaxed) ||
        signature_verify_hash(&signature, signer, digest) != SIG_OK)
        signature_failed(SIG_MISMATCH);
}
