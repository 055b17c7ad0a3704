// Small files fetched into memory, and the copy of a download into a pipe,
// against the scripted server.
#include "ftp.h"
#include "ftp_internal.h"
#include "ftp_peer.h"

#include "base.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

#define FETCH(data, final) "220 ready|<|pasv|<|150 go|accept|data:" data "|close-data|" final

TEST(FtpFetch, WholeFileOrCutAtTheRoomGiven) {
    struct {
        const char *name, *script;
        size_t cap;
        int rc, whole;
        const char *data;
    } cases[] = {
        {"fits", FETCH("hello", "226 done|<|221 bye"), 8, 0, 1, "hello"},
        {"fits exactly", FETCH("hello", "226 done|<|221 bye"), 5, 0, 1, "hello"},
        // The final reply of the cut transfer is read: QUIT meets its own reply.
        {"one byte too many", FETCH("hello!", "426 aborted|<|221 bye"), 5, 0, 0, "hello"},
        {"refused", "220 ready|<|pasv|<|550 none|<|221 bye", 8, 550, 0, ""},
        {"bad final reply", FETCH("hello", "451 aborted|<|221 bye"), 8, -9, 1, "hello"},
    };
    ftp_default_timeout = 2;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FtpPeer peer(ftp_script(c.script));
        FtpSession *s = ftp_connect("127.0.0.1", peer.port(), nullptr, nullptr);
        ASSERT_NE(s, nullptr);
        ftp_set_passive(s, 1);
        char buf[8];
        size_t len = 99;
        int whole = 9;
        EXPECT_EQ(ftp_fetch(s, "f.minisig", buf, c.cap, &len, &whole, nullptr, nullptr), c.rc);
        EXPECT_EQ(std::string(buf, len), c.data);
        EXPECT_EQ(whole, c.whole);
        EXPECT_EQ(ftp_quit(s, nullptr, nullptr), FTP_OK);
        EXPECT_EQ(peer.transcript(), "PASV\r\nRETR f.minisig\r\nQUIT\r\n");
    }
    ftp_default_timeout = FTP_DEFAULT_TIMEOUT;
}

TEST(FtpGetCopy, ThePipeGetsExactlyTheBytesOfTheFile) {
    // Larger than the copy pipe, so that the download waits for its reader.
    std::string data(300 * 1024 + 7, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char('a' + i * 11 % 26);
    const std::string local = "/tmp/ftp_fetch_test." + std::to_string(getpid());
    for (bool splice : {true, false}) {
        SCOPED_TRACE(splice ? "splice" : "plain loop");
        ftp_internal::download_splice = splice;
        FtpPeer peer(ftp_script("220 ready|<|pasv|<|150 go|accept|data:" + data +
                                "|close-data|226 done|<|221 bye"));
        FtpSession *s = ftp_connect("127.0.0.1", peer.port(), nullptr, nullptr);
        ASSERT_NE(s, nullptr);
        ftp_set_passive(s, 1);
        UniquePipe copy;
        ASSERT_EQ(pipe_open(&copy, 64 * 1024), 64 * 1024);
        std::string copied;
        std::thread reader([&] {
            char buf[4096];
            for (ssize_t n; (n = read(copy.read_end.fd, buf, sizeof buf)) > 0;)
                copied.append(buf, size_t(n));
        });
        ftp_download_copy_fd = copy.write_end.fd;
        EXPECT_EQ(ftp_get(s, local.c_str(), "f", nullptr, nullptr, nullptr), FTP_OK);
        ftp_download_copy_fd = -1;
        copy.write_end.reset();
        reader.join();
        std::ifstream in(local, std::ios::binary);
        EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == data);
        EXPECT_TRUE(copied == data) << copied.size();
        EXPECT_EQ(ftp_quit(s, nullptr, nullptr), FTP_OK);
    }
    ftp_internal::download_splice = true;
    unlink(local.c_str());
}

} // namespace
