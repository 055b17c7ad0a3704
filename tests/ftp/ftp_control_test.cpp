// Control connection and control commands against the scripted peer.

#include "ftp_test_util.h"

#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int any_accepted[] = {200, 0};
constexpr int any_refused[] = {500, 0};

using Clock = std::chrono::steady_clock;

TEST_F(FtpTest, GreetingVariants) {
    struct Case {
        const char *name;
        std::vector<FtpPeerStep> script;
        bool connected;
        const char *info;
        const char *err;
    } cases[] = {
        {"220", {ftp_step_send("220 hello\r\n")}, true, "220 hello\r\n", ""},
        // A banner of several lines is read whole, whatever its middle lines hold.
        {"220-",
         {ftp_step_send("220-first\r\n free text\r\n220 second\r\n")},
         true,
         "220-first\r\n free text\r\n220 second\r\n",
         ""},
        {"220- cut short",
         {ftp_step_send("220-first\r\n"), ftp_step(FTP_PEER_CLOSE)},
         false,
         "220-first\r\n",
         "unable to read greetings from server\n"},
        {"421",
         {ftp_step_send("421 too many users\r\n")},
         false,
         "421 too many users\r\n",
         "421 too many users\r\n"},
        {"421-", {ftp_step_send("421-busy\r\n")}, false, "421-busy\r\n", "421 busy\r\n"},
        {"no number", {ftp_step_send("hello\r\n")}, false, "hello\r\n", "hel o\r\n"},
        {"closed", {ftp_step(FTP_PEER_CLOSE)}, false, "", "unable to read greetings from server\n"},
        {"silent", {ftp_step(FTP_PEER_STALL)}, false, "", "unable to read greetings from server\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(start(c.script) != nullptr, c.connected) << c.name;
        EXPECT_EQ(info.str(), c.info) << c.name;
        EXPECT_EQ(err.str(), c.err) << c.name;
    }
}

TEST_F(FtpTest, MultiLineGreetingLeavesNothingForTheNextCommand) {
    ASSERT_NE(start({ftp_step_send("220-first\r\n220 second\r\n"), ftp_step_recv(),
                     ftp_step_send("200 noop\r\n")}),
              nullptr);
    int code = 0;
    Text line;
    EXPECT_EQ(ftp_command(session, "NOOP\r\n", any_accepted, any_refused, &code, &line.s, &info.s,
                          &err.s),
              0);
    EXPECT_EQ(code, 200);
    EXPECT_EQ(line.str(), "200 noop\r\n");
    EXPECT_EQ(err.str(), "");
}

TEST_F(FtpTest, ConnectFailures) {
    Text er;
    // Nothing listens on this port: the listener is closed again at once.
    FtpPeerStep none[] = {ftp_step(FTP_PEER_CLOSE)};
    FtpPeer *p = ftp_peer_start(none, 1, -1);
    ASSERT_NE(p, nullptr);
    uint16_t port = ftp_peer_port(p);
    ftp_peer_free(p);
    EXPECT_EQ(ftp_connect("127.0.0.1", port, nullptr, &er.s), nullptr);
    EXPECT_EQ(er.str(), "Connection refused\n");

    // No host at all reads as an unknown host, without any lookup.
    Text er2;
    EXPECT_EQ(ftp_connect(nullptr, 21, nullptr, &er2.s), nullptr);
    EXPECT_EQ(er2.str(), std::string(hstrerror(HOST_NOT_FOUND)) + "\n");
}

TEST_F(FtpTest, ReplyReader) {
    struct Case {
        const char *name;
        const char *reply;
        int code;
        const char *first;
        const char *lines; // info text received
        const char *err;
    } cases[] = {
        {"single", "230 ok\r\n", 230, "230 ok\r\n", "230 ok\r\n", ""},
        {"multi", "230-Welcome\r\n free text\r\n230 Logged in\r\n", 230, "230-Welcome\r\n",
         "230-Welcome\r\n free text\r\n230 Logged in\r\n", ""},
        {"dash ends", "230-a\r\n150 no\r\ntext\r\n230-b\r\n", 230, "230-a\r\n",
         "230-a\r\n150 no\r\ntext\r\n230-b\r\n", ""},
        {"no number", "hello\r\n", 0, "hello\r\n", "hello\r\n", ""},
        // The first line did arrive, so its copy stays.
        {"cut short", "230-Welcome\r\n more\r\n", -1, "230-Welcome\r\n", "230-Welcome\r\n more\r\n",
         "server has closed connection\n"},
    };
    for (const Case &c : cases) {
        std::vector<FtpPeerStep> script = {ftp_step_send(greeting), ftp_step_send(c.reply)};
        if (c.code < 0)
            script.push_back(ftp_step(FTP_PEER_CLOSE)); // hangs up inside the reply
        ASSERT_NE(start(script), nullptr) << c.name;
        clear_texts();
        Text first;
        EXPECT_EQ(ftp_read_reply(session, &first.s, &info.s, &err.s), c.code) << c.name;
        EXPECT_EQ(first.str(), c.first) << c.name;
        EXPECT_EQ(info.str(), c.lines) << c.name;
        EXPECT_EQ(err.str(), c.err) << c.name;
    }
}

TEST_F(FtpTest, LongLineArrivesInPieces) {
    // 1033 characters: the first 1023 are one piece, the rest another whose
    // first three characters are read as the code.
    std::string line = "200-" + std::string(1019, 'x') + "200 tail\r\n";
    ASSERT_EQ(line.size(), 1033u);
    std::string reply = line;
    ASSERT_NE(start({ftp_step_send(greeting), ftp_step_recv(), ftp_step_send(reply.c_str())}),
              nullptr);
    int code = 0;
    Text first;
    EXPECT_EQ(ftp_command(session, "NOOP\r\n", any_accepted, any_refused, &code, &first.s, nullptr,
                          &err.s),
              0);
    EXPECT_EQ(code, 200);
    EXPECT_EQ(first.str(), line.substr(0, 1023));
    // The reply ended on the second piece: nothing is left for the next read.
    EXPECT_EQ(transcript(), "NOOP\r\n");
}

TEST_F(FtpTest, ClosedConnectionThenNothingSent) {
    ASSERT_NE(start({ftp_step_send(greeting), ftp_step_recv(), ftp_step(FTP_PEER_CLOSE)}), nullptr);
    int code = 0;
    EXPECT_EQ(ftp_command(session, "NOOP\r\n", any_accepted, any_refused, &code, nullptr, nullptr,
                          &err.s),
              -1);
    EXPECT_EQ(code, -1);
    EXPECT_EQ(err.str(), "server has closed connection\n");
    EXPECT_EQ(session->ctrl_out, nullptr);
    EXPECT_EQ(session->ctrl_in, nullptr);

    free(err.s);
    err.s = nullptr;
    code = 0;
    EXPECT_EQ(ftp_command(session, "NOOP\r\n", any_accepted, any_refused, &code, nullptr, nullptr,
                          &err.s),
              -1);
    EXPECT_EQ(code, -1);
    EXPECT_EQ(err.str(), "command connection is closed\n");
    EXPECT_EQ(ftp_cd(session, 0, "/pub", nullptr, &err.s), -1);
    EXPECT_EQ(transcript(), "NOOP\r\n");
}

TEST_F(FtpTest, Reply421ClosesControl) {
    ASSERT_NE(start({ftp_step_send(greeting), ftp_step_recv(),
                     ftp_step_send("421 Service not available\r\n")}),
              nullptr);
    EXPECT_EQ(ftp_delete(session, "f", nullptr, &err.s), 421);
    EXPECT_EQ(err.str(), "421 Service not available\r\n");
    EXPECT_EQ(session->ctrl_out, nullptr);
    EXPECT_EQ(ftp_delete(session, "g", nullptr, &err.s), -1);
    EXPECT_EQ(err.str(), "421 Service not available\r\ncommand connection is closed\n");
    EXPECT_EQ(transcript(), "DELE f\r\n");
}

TEST_F(FtpTest, Quit) {
    ASSERT_NE(start({ftp_step_send(greeting), ftp_step_recv(), ftp_step_send("221 bye\r\n")}),
              nullptr);
    EXPECT_EQ(ftp_quit(session, &info.s, &err.s), 0);
    forget_session();
    EXPECT_TRUE(ftp_peer_wait(peer, 5000)); // the client closed the connection
    EXPECT_EQ(transcript(), "QUIT\r\n");
    EXPECT_EQ(info.str(), std::string(greeting) + "QUIT\r\n221 bye\r\n");
}

TEST_F(FtpTest, QuitRefusedKeepsSession) {
    struct Case {
        const char *reply;
        int result;
        const char *err;
        bool open_after;
    } cases[] = {
        {"500 what\r\n", 500, "500 what\r\n", true},
        {"421 closing\r\n", 421, "illegal response from server\n", false},
        {"hello\r\n", -1, "illegal response from server\n", true},
    };
    for (const Case &c : cases) {
        std::vector<FtpPeerStep> script = {ftp_step_send(greeting), ftp_step_recv(),
                                           ftp_step_send(c.reply)};
        ASSERT_NE(start(script), nullptr);
        EXPECT_EQ(ftp_quit(session, nullptr, &err.s), c.result) << c.reply;
        EXPECT_EQ(err.str(), c.err) << c.reply;
        EXPECT_EQ(session->ctrl_out != nullptr, c.open_after) << c.reply;
    }
}

TEST_F(FtpTest, ReplyTimeLimit) {
    ASSERT_NE(start({ftp_step_send(greeting), ftp_step_recv(), ftp_step(FTP_PEER_STALL)}), nullptr);
    auto begin = Clock::now();
    int code = 0;
    EXPECT_EQ(ftp_command(session, "NOOP\r\n", any_accepted, any_refused, &code, nullptr, nullptr,
                          &err.s),
              -1);
    auto took = Clock::now() - begin;
    EXPECT_EQ(code, -14);
    EXPECT_EQ(err.str(), "timeout while reading server response\n");
    EXPECT_EQ(session->ctrl_out, nullptr);
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(ftp_type(session, 1, nullptr, nullptr), -1);
}

TEST_F(FtpTest, SilentTextsKeepResults) {
    ASSERT_NE(start({ftp_step_send(greeting), ftp_step_recv(), ftp_step_send("530 no\r\n"),
                     ftp_step_recv(), ftp_step_send("hello\r\n")}),
              nullptr);
    EXPECT_EQ(ftp_login(session, "u", "p", nullptr, nullptr, nullptr), 530);
    EXPECT_EQ(ftp_type(session, 0, nullptr, nullptr), -1);
}

TEST_F(FtpTest, Login) {
    struct Case {
        const char *name;
        std::vector<const char *> replies;
        const char *account;
        int result;
        const char *sent;
        const char *err;
    } cases[] = {
        {"USER 230", {"230 in\r\n"}, "acc", 0, "USER u\r\n", ""},
        {"PASS 230", {"331 pw\r\n", "230 in\r\n"}, "acc", 0, "USER u\r\nPASS p\r\n", ""},
        {"PASS 530",
         {"331 pw\r\n", "530 Login incorrect.\r\n"},
         "acc",
         530,
         "USER u\r\nPASS p\r\n",
         "530 Login incorrect.\r\n"},
        {"ACCT 230",
         {"331 pw\r\n", "332 acct\r\n", "230 in\r\n"},
         "acc",
         0,
         "USER u\r\nPASS p\r\nACCT acc\r\n",
         ""},
        {"ACCT 530",
         {"331 pw\r\n", "332 acct\r\n", "530 no\r\n"},
         "acc",
         530,
         "USER u\r\nPASS p\r\nACCT acc\r\n",
         "530 no\r\n"},
        {"USER 332", {"332 acct\r\n", "230 in\r\n"}, "acc", 0, "USER u\r\nACCT acc\r\n", ""},
        {"332 without account",
         {"331 pw\r\n", "332 acct\r\n"},
         nullptr,
         332,
         "USER u\r\nPASS p\r\n",
         "server asks for an account, none given\n"},
        {"USER 220", {"220 again\r\n"}, "acc", 220, "USER u\r\n", "illegal response from server\n"},
        {"USER 530", {"530 go away\r\n"}, "acc", 530, "USER u\r\n", "530 go away\r\n"},
        {"no number", {"hello\r\n"}, "acc", -1, "USER u\r\n", "illegal response from server\n"},
    };
    for (const Case &c : cases) {
        std::vector<FtpPeerStep> script = {ftp_step_send(greeting)};
        for (const char *r : c.replies) {
            script.push_back(ftp_step_recv());
            script.push_back(ftp_step_send(r));
        }
        ASSERT_NE(start(script), nullptr) << c.name;
        EXPECT_EQ(ftp_login(session, "u", "p", c.account, &info.s, &err.s), c.result) << c.name;
        EXPECT_EQ(err.str(), c.err) << c.name;
        EXPECT_EQ(transcript(), c.sent) << c.name;
    }
}

TEST_F(FtpTest, LoginInfoHoldsWholeConversation) {
    ASSERT_NE(start({ftp_step_send(greeting), ftp_step_recv(), ftp_step_send("331 pw\r\n"),
                     ftp_step_recv(), ftp_step_send("230-hi\r\n230 in\r\n")}),
              nullptr);
    EXPECT_EQ(ftp_login(session, "anonymous", "secret", nullptr, &info.s, &err.s), 0);
    EXPECT_EQ(info.str(), std::string(greeting) +
                              "USER anonymous\r\n331 pw\r\nPASS secret\r\n230-hi\r\n230 in\r\n");
}

// Runs one command against a peer that answers it with reply; checks the
// result, the line sent and the error text.
struct CommandCase {
    const char *name;
    const char *reply;
    int (*run)(FtpSession *, char **);
    int result;
    const char *sent;
    const char *err;
};

TEST_F(FtpTest, SimpleCommands) {
    CommandCase cases[] = {
        {"TYPE I", "200 ok\r\n", [](FtpSession *s, char **e) { return ftp_type(s, 1, nullptr, e); },
         0, "TYPE I\r\n", ""},
        {"TYPE A", "200 ok\r\n", [](FtpSession *s, char **e) { return ftp_type(s, 0, nullptr, e); },
         0, "TYPE A\r\n", ""},
        {"TYPE E 504", "504 no\r\n",
         [](FtpSession *s, char **e) { return ftp_type(s, 2, nullptr, e); }, 504, "TYPE E\r\n",
         "504 no\r\n"},
        {"TYPE 3", "200 ok\r\n", [](FtpSession *s, char **e) { return ftp_type(s, 3, nullptr, e); },
         -1, "", ""},
        {"TYPE -1", "200 ok\r\n",
         [](FtpSession *s, char **e) { return ftp_type(s, -1, nullptr, e); }, -1, "", ""},
        {"CWD", "250 ok\r\n",
         [](FtpSession *s, char **e) { return ftp_cd(s, 0, "/pub", nullptr, e); }, 0,
         "CWD /pub\r\n", ""},
        {"CWD 200", "200 ok\r\n",
         [](FtpSession *s, char **e) { return ftp_cd(s, 0, "x", nullptr, e); }, 0, "CWD x\r\n", ""},
        {"CDUP", "250 ok\r\n",
         [](FtpSession *s, char **e) { return ftp_cd(s, 1, "/ignored", nullptr, e); }, 0,
         "CDUP\r\n", ""},
        {"CWD 550", "550 no such\r\n",
         [](FtpSession *s, char **e) { return ftp_cd(s, 0, "/x", nullptr, e); }, 550, "CWD /x\r\n",
         "550 no such\r\n"},
        {"RMD", "250 ok\r\n", [](FtpSession *s, char **e) { return ftp_rmdir(s, "d", nullptr, e); },
         0, "RMD d\r\n", ""},
        {"RMD 200", "200 ok\r\n",
         [](FtpSession *s, char **e) { return ftp_rmdir(s, "d", nullptr, e); }, 200, "RMD d\r\n",
         "illegal response from server\n"},
        {"DELE", "250 ok\r\n",
         [](FtpSession *s, char **e) { return ftp_delete(s, "f", nullptr, e); }, 0, "DELE f\r\n",
         ""},
        {"DELE 450", "450 busy\r\n",
         [](FtpSession *s, char **e) { return ftp_delete(s, "f", nullptr, e); }, 450, "DELE f\r\n",
         "450 busy\r\n"},
        {"DELE no number", "oops\r\n",
         [](FtpSession *s, char **e) { return ftp_delete(s, "f", nullptr, e); }, -1, "DELE f\r\n",
         "illegal response from server\n"},
        {"RNFR 550", "550 none\r\n",
         [](FtpSession *s, char **e) { return ftp_rename(s, "a", "b", nullptr, e); }, 550,
         "RNFR a\r\n", "550 none\r\n"},
    };
    for (const CommandCase &c : cases) {
        std::vector<FtpPeerStep> script = {ftp_step_send(greeting), ftp_step_recv(),
                                           ftp_step_send(c.reply)};
        ASSERT_NE(start(script), nullptr) << c.name;
        EXPECT_EQ(c.run(session, &err.s), c.result) << c.name;
        EXPECT_EQ(err.str(), c.err) << c.name;
        EXPECT_EQ(transcript(), c.sent) << c.name;
    }
}

TEST_F(FtpTest, Rename) {
    ASSERT_NE(start({ftp_step_send(greeting), ftp_step_recv(), ftp_step_send("350 go on\r\n"),
                     ftp_step_recv(), ftp_step_send("553 bad name\r\n")}),
              nullptr);
    EXPECT_EQ(ftp_rename(session, "old", "new", nullptr, &err.s), 553);
    EXPECT_EQ(err.str(), "553 bad name\r\n");
    EXPECT_EQ(transcript(), "RNFR old\r\nRNTO new\r\n");
}

TEST_F(FtpTest, MkdPwd) {
    struct Case {
        const char *name;
        int make;
        const char *reply;
        const char *dir; // nullptr: none
        const char *sent;
        const char *err;
    } cases[] = {
        {"PWD", 0, "257 \"/pub\" is current directory.\r\n", "/pub", "PWD\r\n", ""},
        {"MKD", 1, "257 \"/pub/new\" created\r\n", "/pub/new", "MKD new\r\n", ""},
        {"no closing quote", 0, "257 \"/pub\r\n", nullptr, "PWD\r\n", ""},
        {"MKD 550", 1, "550 exists\r\n", nullptr, "MKD new\r\n", "550 exists\r\n"},
        {"PWD 250", 0, "250 what\r\n", nullptr, "PWD\r\n", "illegal response from server\n"},
    };
    for (const Case &c : cases) {
        std::vector<FtpPeerStep> script = {ftp_step_send(greeting), ftp_step_recv(),
                                           ftp_step_send(c.reply)};
        ASSERT_NE(start(script), nullptr) << c.name;
        char *dir = ftp_mkd_pwd(session, c.make, "new", nullptr, &err.s);
        if (c.dir == nullptr) {
            EXPECT_EQ(dir, nullptr) << c.name;
        } else if (dir == nullptr) {
            ADD_FAILURE() << c.name << ": no directory";
        } else {
            EXPECT_STREQ(dir, c.dir) << c.name;
        }
        free(dir);
        EXPECT_EQ(err.str(), c.err) << c.name;
        EXPECT_EQ(transcript(), c.sent) << c.name;
    }
}

TEST_F(FtpTest, SetPassive) {
    ASSERT_NE(start({ftp_step_send(greeting)}), nullptr);
    ftp_set_passive(session, 5);
    EXPECT_EQ(session->passive, 1);
    ftp_set_passive(session, 0);
    EXPECT_EQ(session->passive, 0);
    EXPECT_EQ(transcript(), "");
}

TEST_F(FtpTest, UnsafeArgumentsRefusedBeforeSending) {
    std::string long_name(1017, 'n'); // "DELE " + 1017 + CRLF + NUL needs 1025 bytes
    std::string fits(1016, 'n');      // "DELE " + 1016 + CRLF + NUL is exactly 1024
    struct Case {
        const char *name;
        int (*run)(FtpSession *, const char *, char **);
        const char *arg;
        const char *err;
    } cases[] = {
        {"CR in DELE",
         [](FtpSession *s, const char *a, char **e) { return ftp_delete(s, a, nullptr, e); },
         "f\rDELE g", "line break in command argument refused\n"},
        {"LF in CWD",
         [](FtpSession *s, const char *a, char **e) { return ftp_cd(s, 0, a, nullptr, e); },
         "x\nQUIT", "line break in command argument refused\n"},
        {"LF in user",
         [](FtpSession *s, const char *a, char **e) {
             return ftp_login(s, a, "p", nullptr, nullptr, e);
         },
         "u\r\nSITE x", "line break in command argument refused\n"},
        {"LF in password",
         [](FtpSession *s, const char *a, char **e) {
             return ftp_login(s, "u", a, nullptr, nullptr, e);
         },
         "p\nDELE x", "line break in command argument refused\n"},
        {"LF in new name",
         [](FtpSession *s, const char *a, char **e) { return ftp_rename(s, "old", a, nullptr, e); },
         "n\nDELE x", "line break in command argument refused\n"},
        {"too long",
         [](FtpSession *s, const char *a, char **e) { return ftp_delete(s, a, nullptr, e); },
         long_name.c_str(), "command line too long\n"},
        {"missing",
         [](FtpSession *s, const char *a, char **e) { return ftp_rmdir(s, a, nullptr, e); },
         nullptr, "missing command argument\n"},
        {"raw line",
         [](FtpSession *s, const char *a, char **e) {
             return ftp_command(s, a, any_accepted, any_refused, nullptr, nullptr, nullptr, e);
         },
         "NOOP\r\nDELE x\r\n", "line break in command argument refused\n"},
    };
    for (const Case &c : cases) {
        std::vector<FtpPeerStep> script = {ftp_step_send(greeting)};
        ASSERT_NE(start(script), nullptr) << c.name;
        EXPECT_EQ(c.run(session, c.arg, &err.s), -1) << c.name;
        EXPECT_EQ(err.str(), c.err) << c.name;
        EXPECT_NE(session->ctrl_out, nullptr) << c.name; // the connection is still usable
        EXPECT_EQ(transcript(), "") << c.name;
    }

    // The longest line that fits still goes out.
    ASSERT_NE(start({ftp_step_send(greeting), ftp_step_recv(), ftp_step_send("250 ok\r\n")}),
              nullptr);
    EXPECT_EQ(ftp_delete(session, fits.c_str(), nullptr, &err.s), 0);
    EXPECT_EQ(transcript(), "DELE " + fits + "\r\n");
}

TEST_F(FtpTest, LoginAfterServerHungUp) {
    // The server answers USER and hangs up; PASS then goes to a dead socket.
    ASSERT_NE(start({ftp_step_send(greeting), ftp_step_recv(), ftp_step_send("331 pw\r\n"),
                     ftp_step(FTP_PEER_CLOSE)}),
              nullptr);
    EXPECT_EQ(ftp_login(session, "u", "p", nullptr, nullptr, &err.s), -1);
    EXPECT_EQ(err.str(), "server has closed connection\n");
}

} // namespace

namespace {

TEST(FtpPeer, ServesOnCallersListener) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len), 0);

    FtpPeerStep script[] = {ftp_step_send(greeting), ftp_step_recv(), ftp_step_send("221 bye\r\n")};
    FtpPeer *peer = ftp_peer_start(script, 3, fd);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(ftp_peer_port(peer), ntohs(sa.sin_port));
    FtpSession *s = ftp_connect("127.0.0.1", ntohs(sa.sin_port), nullptr, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ftp_quit(s, nullptr, nullptr), 0);
    EXPECT_TRUE(ftp_peer_wait(peer, 5000));
    ftp_peer_free(peer);
    EXPECT_NE(fcntl(fd, F_GETFD), -1); // still the caller's
    close(fd);
}

} // namespace
