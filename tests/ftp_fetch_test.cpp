// Small files fetched into memory from the scripted server.
#include "ftp.h"
#include "ftp_peer.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

std::string fetch_script(const std::string &data, const char *final) {
    return "220 ready|<|pasv|<|150 go|accept|data:" + data + "|close-data|" + final + "|<|221 bye";
}

TEST(FtpFetch, WholeFileOrCutAtTheRoomGivenThenQuit) {
    const std::tuple<std::string, size_t, int, int, const char *> cases[] = {
        {fetch_script("hello", "226 done"), 8, 0, 1, "hello"},
        {fetch_script("hello", "226 done"), 5, 0, 1, "hello"},
        // The final reply of the cut transfer is read: QUIT meets its own reply.
        {fetch_script("hello!", "426 aborted"), 5, 0, 0, "hello"},
        {"220 ready|<|pasv|<|550 none|<|221 bye", 8, 550, 0, ""},
        {fetch_script("hello", "451 aborted"), 8, -9, 1, "hello"},
    };
    ftp_default_timeout = 2;
    for (const auto &[script, cap, rc, whole, data] : cases) {
        SCOPED_TRACE(script + " into " + std::to_string(cap));
        FtpPeer peer(ftp_script(script));
        FtpSession *s = ftp_connect("127.0.0.1", peer.port(), nullptr, nullptr);
        ASSERT_NE(s, nullptr);
        ftp_set_passive(s, 1);
        char buf[8];
        size_t len = 99;
        int got_whole = 9;
        EXPECT_EQ(ftp_fetch(s, "f.minisig", buf, cap, &len, &got_whole, nullptr, nullptr), rc);
        EXPECT_EQ(std::string(buf, len), data);
        EXPECT_EQ(got_whole, whole);
        EXPECT_EQ(ftp_quit(s, nullptr, nullptr), FTP_OK);
        EXPECT_EQ(peer.transcript(), "PASV\r\nRETR f.minisig\r\nQUIT\r\n");
    }
    ftp_default_timeout = FTP_DEFAULT_TIMEOUT;
    char *err = nullptr; // and without a session
    EXPECT_EQ(ftp_quit(nullptr, nullptr, &err), -1);
    EXPECT_STREQ(err, "command connection is closed\n");
    free(err);
}

} // namespace
