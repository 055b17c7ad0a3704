#pragma once
// Helpers of the update end-to-end tests: sandboxes, temporary host folders,
// ext2 test images, and a scripted FTP peer inside a sandbox's network.

#include "ftp_peer.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

struct SandboxDeleter {
    void operator()(Sandbox *sb) const {
        sandbox_destroy(sb);
    }
};
using SandboxPtr = std::unique_ptr<Sandbox, SandboxDeleter>;

// Sandbox defaults for update alone (swap is not installed).
SandboxOptions update_options();

// Returns the sandbox, or nullptr after a test failure naming the reason.
SandboxPtr make_sandbox(const SandboxOptions &o);

// A temporary host folder, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
};

struct ImageRecipe {
    std::string version; // content of .version; empty: no .version at all
    unsigned kib = 1024; // file system size
    unsigned extra = 0;  // bytes appended after the file system
    const char *type = "ext2";
};

// Builds an image file at path (an ext2 file system holding .version, a kernel
// and an initrd, then padding). Returns its bytes, or "" on failure.
std::string make_image(const std::string &path, const ImageRecipe &recipe);

// Returns the first n bytes of a host file.
std::string read_host_file(const std::string &path, size_t n);

// True when the device holds image from its start. The superblock (bytes
// 1024..2047) is compared by its UUID only, since mounting updates the rest.
::testing::AssertionResult device_holds(const std::string &device_bytes, const std::string &image);

bool exited_with(const SandboxResult &r, int code);

// A scripted FTP peer on 127.0.0.1:21 inside the sandbox's network namespace,
// where its passive data listeners are then reachable too.
struct InsidePeer {
    FtpPeer *peer = nullptr;
    int listen_fd = -1;
    ~InsidePeer();
};
bool start_inside_peer(Sandbox *sb, const std::vector<FtpPeerStep> &steps, InsidePeer *out);
