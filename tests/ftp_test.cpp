// The FTP client: its parsers, and whole conversations with a scripted server
// (replies in, exact command transcript and result out).
#include "ftp.h"
#include "ftp_internal.h"
#include "ftp_peer.h"
#include "small_disk.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(FtpReplyCode, FirstThreeCharactersReadLikeAtoi) {
    const std::pair<const char *, int> cases[] = {
        {"220 ready\r\n", 220}, {"2201 ready", 220}, {" 22 x", 22}, {"  7", 7},
        {"-22 x", 0},           {"+22 x", 0},        {"abc", 0},    {"", 0},
    };
    for (auto [line, code] : cases)
        EXPECT_EQ(ftp_reply_code(line), code) << line;
}

TEST(FtpPasvReply, FirstRunWithFiveCommasCounts) {
    // clang-format off
    const std::pair<const char *, std::string> cases[] = {
        {"227 Entering Passive Mode (127,0,0,1,4,1)", "127.0.0.1:1025"},
        {"227 =10,0,0,9,0,21", "10.0.0.9:21"},
        {"227 skip 1,2,3 then (192,168,1,2,255,255)", "192.168.1.2:65535"},
        {"227 (1,2,3,256,1,0)", "refused"}, // a number above 255 names no byte
        {"227 (127,0,0,1,300,10)", "refused"},
        {"227 (99999999999999999999,0,0,1,4294967296,1)", "refused"},
        {"227 (1,2,3,4,5,6,7)", "refused"}, {"227 (1,2,3,4,5)", "refused"}, {"227", "refused"},
    };
    // clang-format on
    for (const auto &[line, want] : cases) {
        uint32_t addr = 0;
        uint16_t port = 0;
        std::string got = ftp_parse_pasv(line, &addr, &port) != 0
                              ? "refused"
                              : inet_ntoa(in_addr{addr}) + (":" + std::to_string(port));
        EXPECT_EQ(got, want) << line;
    }
}

TEST(FtpAnnouncedSize, LastBytesGroupOfTheOpeningReply) {
    const std::pair<const char *, int64_t> cases[] = {
        {"150 Opening BINARY mode data connection for f (4194304 bytes).\r\n", 4194304},
        {"150 (12 bytes) of f (34 bytes).", 34},
        {"150 (5 bytes) then (junk)", 5},
        {"150 (9223372036854775807 bytes)", 9223372036854775807},
        {"150 (5 bytes) (9223372036854775808 bytes)", -1},
        {"150 Opening BINARY mode data connection", -1},
        {"150 (-5 bytes)", -1},
        {"150 ( 5 bytes)", -1},
        {"150 (5 Bytes)", -1},
        {nullptr, -1},
    };
    for (auto [line, size] : cases)
        EXPECT_EQ(ftp_announced_size(line), size) << (line != nullptr ? line : "null");
}

TEST(FtpSessionNew, TimeLimitBelowOneSecondMeansTwenty) {
    for (auto [setting, seconds] : {std::pair{-1, 20}, {0, 20}, {5, 5}}) {
        ftp_default_timeout = setting;
        FtpSession *s = ftp_session_new();
        EXPECT_EQ(s->timeout, seconds) << setting;
        free(s);
    }
    ftp_default_timeout = FTP_DEFAULT_TIMEOUT;
}

TEST(FtpHostsFile, NameOrAliasOfTheFirstLineInAnyCase) {
    char path[] = "/tmp/hosts.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    // clang-format off
    std::ofstream(path) << "# 10.0.0.1 commented\n"
                           "::1 localhost ip6-localhost\n"
                           "not-an-address ftp\n"
                           "127.0.0.1\tlocalhost\n"
                           "192.168.7.20  ftp.example.lan Mirror  # primary 10.9.9.9\n"
                           "192.168.7.21 mirror backup\r\n"
                           "10.1.2.3 " + std::string(2000, 'x') + " long\n"
                           "10.3.3.3 last"; // no line end
    const std::pair<const char *, const char *> cases[] = {
        {"ftp.example.lan", "192.168.7.20"}, {"FTP.Example.LAN", "192.168.7.20"},
        {"mirror", "192.168.7.20"}, {"backup", "192.168.7.21"}, {"localhost", "127.0.0.1"},
        {"long", "10.1.2.3"}, {"last", "10.3.3.3"}, {"ftp", "none"}, {"commented", "none"},
        {"primary", "none"}, {"10.9.9.9", "none"}, {"ftp.example", "none"}, {"", "none"},
    };
    // clang-format on
    for (auto [host, want] : cases) {
        in_addr addr{};
        bool found = ftp_internal::hosts_file_lookup(path, host, &addr);
        EXPECT_STREQ(found ? inet_ntoa(addr) : "none", want) << host;
    }
    in_addr addr{};
    EXPECT_FALSE(ftp_internal::hosts_file_lookup("/nonexistent/hosts", "localhost", &addr));
    unlink(path);
}

TEST(FtpConnect, RefusedGreetingIsTheErrorTextWithItsFourthCharacterBlanked) {
    const std::pair<const char *, const char *> cases[] = {
        {"421-Too many connections\r\n421 Try again later", "421 Too many connections\r\n"},
        {"530 Not allowed", "530 Not allowed\r\n"},
        {"raw:500-no line end|close", "500 no line end\n"},
        {"close", "unable to read greetings from server\n"},
    };
    for (auto [script, text] : cases) {
        FtpPeer peer(ftp_script(script));
        char *err = nullptr;
        EXPECT_EQ(ftp_connect("127.0.0.1", peer.port(), nullptr, &err), nullptr) << script;
        EXPECT_STREQ(err, text) << script;
        free(err);
    }
}

TEST(FtpQuit, WithoutASessionIsAnError) {
    char *err = nullptr;
    EXPECT_EQ(ftp_quit(nullptr, nullptr, &err), -1);
    EXPECT_STREQ(err, "command connection is closed\n");
    free(err);
}

// clang-format off
enum Op { CONNECT, LOGIN, LOGIN_ACCT, TYPE_A, TYPE_I, TYPE_E, TYPE_X,
          GET, GET_ACTIVE, GET_FULL, PUT,
          UPDATE, UPDATE_GET }; // update's steps: login, TYPE I (and a passive GET)
// clang-format on

struct Conversation {
    const char *name;
    Op op;
    const char *script; // steps of the scripted server, '|' between them
    int rc;
    // data: the local file after a GET ("*": any), what the server got from PUT
    std::string transcript, data;
    int32_t counter = 0; // the byte counter before a GET
};
void PrintTo(const Conversation &c, std::ostream *os) {
    *os << c.name;
}

#define OPEN(reply) "220 ready|<|pasv|<|" reply "|accept|data:hello|close-data"
#define RETR OPEN("150 go")
#define DRIP "|data:x|sleep:600"
#define DRIP_LINE "|sleep:600|raw: more\r\n"
#define GOT "PASV\r\nRETR f\r\n"
#define STOR "220 ready|<|pasv|<|150 go|accept|recv-data"
// Reply shapes of servers that begin every line of a long reply with its code.
#define GREETING_4                                                                                 \
    "220---------- Welcome to the FTP service ----------\r\n"                                      \
    "220-You are user number 1 of 50 allowed.\r\n"                                                 \
    "220-Local time is now 06:40. Server port: 21.\r\n"                                            \
    "220 You will be disconnected after 15 minutes of inactivity."
#define MOTD_230 "230-Welcome\r\n230-\r\n230-Authorised use only\r\n230 Logged in"

// clang-format off
const Conversation conversations[] = {
    {"GreetingAccepted", CONNECT, "220 ready", 0, "", ""},
    {"GreetingCodeIsThreeDigits", CONNECT, "2201 ready", 0, "", ""},
    {"OtherPositiveGreetingRefused", CONNECT, "230 ready", -1, "", ""},
    {"BusyGreetingRefused", CONNECT, "421 busy", -1, "", ""},
    {"NoGreeting", CONNECT, "close", -1, "", ""},
    {"MultiLineGreetingReadWhole", LOGIN, "220-first\r\n free text\r\n220 second|<|230 in", 0,
     "USER u\r\n", ""},
    {"MultiLineGreetingCutShort", CONNECT, "raw:220-first\r\n|close", -1, "", ""},
    {"SilentGreetingHitsTheTimeLimit", CONNECT, "stall", -1, "", ""},
    {"FourLineGreeting", UPDATE, GREETING_4 "|<|331 pw|<|230 in|<|200 ok", 0,
     "USER u\r\nPASS p\r\nTYPE I\r\n", ""},
    {"MotdLinesBeforeLoggedIn", UPDATE, "220 ready|<|331 pw|<|" MOTD_230 "|<|200 ok", 0,
     "USER u\r\nPASS p\r\nTYPE I\r\n", ""},
    {"ContinuedLinesThroughAWholeDownload", UPDATE_GET, GREETING_4 "|<|331 pw|<|" MOTD_230
     "|<|200 ok|<|pasv|<|150-Accepted data connection\r\n150 0.0 kbytes to download|accept"
     "|data:hello|close-data|226-File successfully transferred\r\n226 0.001 seconds", 0,
     "USER u\r\nPASS p\r\nTYPE I\r\n" GOT, "hello"},
    {"UserAloneLogsIn", LOGIN, "220 ready|<|230 in", 0, "USER u\r\n", ""},
    {"PasswordAsked", LOGIN, "220 ready|<|331 pw|<|230 in", 0, "USER u\r\nPASS p\r\n", ""},
    {"PasswordRefused", LOGIN, "220 ready|<|331 pw|<|530 no", 530, "USER u\r\nPASS p\r\n", ""},
    {"AccountAskedAndGiven", LOGIN_ACCT, "220 ready|<|331 pw|<|332 acct|<|230 in", 0,
     "USER u\r\nPASS p\r\nACCT a\r\n", ""},
    {"AccountAskedNoneGiven", LOGIN, "220 ready|<|332 acct", 332, "USER u\r\n", ""},
    {"MultiLineReplyEndsOnItsCodeAndABlank", LOGIN, "220 ready|<|331-first\r\n 331 not yet\r\n"
     "230 nor this\r\n331-nor this\r\n331 last|<|230 in", 0, "USER u\r\nPASS p\r\n", ""},
    {"SilentServerHitsTheTimeLimit", LOGIN, "220 ready|<|stall", -14, "USER u\r\n", ""},
    {"DrippingReplyMeetsOneTimeLimit", LOGIN, "220 ready|<|raw:331-a\r\n" DRIP_LINE DRIP_LINE
     DRIP_LINE DRIP_LINE DRIP_LINE DRIP_LINE "|stall", -14, "USER u\r\n", ""},
    {"TypeAscii", TYPE_A, "220 ready|<|200 ok", 0, "TYPE A\r\n", ""},
    {"TypeImage", TYPE_I, "220 ready|<|200 ok", 0, "TYPE I\r\n", ""},
    {"TypeEbcdic", TYPE_E, "220 ready|<|200 ok", 0, "TYPE E\r\n", ""},
    {"TypeRefused", TYPE_I, "220 ready|<|504 no", 504, "TYPE I\r\n", ""},
    {"UnknownTypeSendsNothing", TYPE_X, "220 ready", -1, "", ""},
    {"PassiveGet", GET, RETR "|226 done", 0, GOT, "hello"},
    {"ActiveGet", GET_ACTIVE, "220 ready|<|200 ok|<|150 go|port|data:hi|close-data|226 done", 0,
     "PORT 127,0,0,1,P\r\nRETR f\r\n", "hi"},
    {"GetOfTheAnnouncedSize", GET, OPEN("150 f (5 bytes).") "|226 done", 0, GOT, "hello"},
    {"GetShorterThanAnnounced", GET, OPEN("150 f (6 bytes).") "|226 done", -16, GOT, "hello"},
    {"GetUpToInt32Max", GET, RETR "|226 done", 0, GOT, "hello", 2147483642},
    {"GetPastInt32MaxIsTooLarge", GET, RETR "|226 done", -16, GOT, "hello", 2147483643},
    {"ServerNeverConnectsToTheActivePort", GET_ACTIVE, "220 ready|<|200 ok|<|150 go|stall", 150,
     "PORT 127,0,0,1,P\r\nRETR f\r\n", ""},
    {"TricklingServerMeetsTheTimeLimit", GET,
     "220 ready|<|pasv|<|150 go|accept" DRIP DRIP DRIP DRIP DRIP DRIP, -16, GOT, "*"},
    {"GetRefused", GET, "220 ready|<|pasv|<|550 none", 550, GOT, ""},
    {"GetWithoutFinalReplyFails", GET, RETR "|close", -9, GOT, "hello"},
    {"GetWithFinalReply451Fails", GET, RETR "|451 aborted", -9, GOT, "hello"},
    {"GetFinalReplyTimeLimit", GET, RETR "|stall", -14, GOT, "hello"},
    {"GetIntoAFullDeviceFails", GET_FULL, RETR "|226 done", -16, GOT, ""},
    {"PassivePut", PUT, STOR "|226 ok", 0, "PASV\r\nSTOR f\r\n", "upload"},
    {"PutFinalReplyTimeLimit", PUT, STOR "|stall", -15, "PASV\r\nSTOR f\r\n", "upload"},
};
// clang-format on

// Runs op on a thread of its own that blocks SIGALRM, so no time limit can
// lean on that signal arriving. Returns false when op was still running after
// `within`; it is then interrupted with SIGUSR1 until it returns.
bool run_without_alarm(const std::function<void()> &op, std::chrono::milliseconds within) {
    static const bool unstick_ready = [] {
        struct sigaction act {};
        act.sa_handler = [](int) {};
        return sigaction(SIGUSR1, &act, nullptr) == 0; // no SA_RESTART
    }();
    std::atomic<bool> done{false};
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::thread t([&] {
        op();
        done = true;
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    auto start = std::chrono::steady_clock::now();
    while (!done && std::chrono::steady_clock::now() - start < within)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bool in_time = done;
    while (unstick_ready && !done) {
        pthread_kill(t.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    t.join();
    return in_time;
}

class FtpConversation : public ::testing::TestWithParam<Conversation> {};

TEST_P(FtpConversation, TranscriptAndResult) {
    const Conversation &c = GetParam();
    const std::string local = "/tmp/ftp_test." + std::to_string(getpid());
    ftp_default_timeout = 1;
    bool get = c.op == GET || c.op == GET_ACTIVE || c.op == GET_FULL || c.op == UPDATE_GET;
    // Downloads run on both data loops: splice and plain reads.
    for (bool splice : {true, false}) {
        if (!get && !splice)
            break;
        SCOPED_TRACE(splice ? "splice" : "plain loop");
        ftp_internal::download_splice = splice;
        FtpPeer peer(ftp_script(c.script));
        char *err = nullptr;
        FtpSession *s = nullptr;
        int rc = -1;
        int32_t counter = c.counter;
        std::ofstream(local) << "upload";
        auto talk = [&] {
            s = ftp_connect("127.0.0.1", peer.port(), nullptr, &err);
            rc = s != nullptr ? 0 : -1;
            if (s == nullptr || c.op == CONNECT)
                return;
            ftp_set_passive(s, c.op != GET_ACTIVE);
            const char *file = c.op == GET_FULL ? "/dev/full" : local.c_str();
            if (c.op == LOGIN || c.op == LOGIN_ACCT)
                rc = ftp_login(s, "u", "p", c.op == LOGIN_ACCT ? "a" : nullptr, nullptr, &err);
            else if (c.op >= TYPE_A && c.op <= TYPE_X)
                rc = ftp_type(s, c.op - TYPE_A, nullptr, &err);
            else if (c.op == PUT)
                rc = ftp_put(s, file, "f", nullptr, &err);
            else if (c.op == UPDATE || c.op == UPDATE_GET) {
                if ((rc = ftp_login(s, "u", "p", nullptr, nullptr, &err)) == 0 &&
                    (rc = ftp_type(s, FTP_TYPE_IMAGE, nullptr, &err)) == 0 && c.op == UPDATE_GET)
                    rc = ftp_get(s, file, "f", nullptr, &err, &counter);
            } else
                rc = ftp_get(s, file, "f", nullptr, &err, &counter);
        };
        // Every limit here is one second.
        EXPECT_TRUE(run_without_alarm(talk, std::chrono::seconds(3)))
            << "still waiting after 3 s: a time limit was lost";
        EXPECT_EQ(rc, c.rc) << (err != nullptr ? err : "");
        std::string sent = peer.transcript();
        EXPECT_EQ(
            std::regex_replace(sent, std::regex("PORT 127,0,0,1,\\d+,\\d+"), "PORT 127,0,0,1,P"),
            c.transcript);
        std::ifstream in(local);
        std::string got(std::istreambuf_iterator<char>(in), {});
        if (c.op == PUT) {
            EXPECT_EQ(peer.received(), c.data);
        } else if (get && c.op != GET_FULL && c.data != "*") {
            EXPECT_EQ(got, c.data);
        }
        if (get && rc == 0) {
            EXPECT_EQ(counter, c.counter + int32_t(c.data.size()));
        }
        free(err);
        if (s != nullptr) {
            for (FILE *f : {s->ctrl_in, s->ctrl_out, s->data_in, s->data_out})
                if (f != nullptr)
                    fclose(f);
            free(s);
        }
    }
    ftp_internal::download_splice = true;
    ftp_default_timeout = FTP_DEFAULT_TIMEOUT;
    unlink(local.c_str());
}

INSTANTIATE_TEST_SUITE_P(Replies, FtpConversation, ::testing::ValuesIn(conversations),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace

namespace {

// Downloads `data` onto the device, then tells what happened: 80 when ftp_get
// failed with -16, 81 on another failure, 90 when the device or the counter
// disagrees with the data; else where the image is: 1 no more than two
// windows of 4 MiB (and one splice of up to 1 MiB) still in the page cache,
// 2 all of it there, 3 anything else.
int download_onto(const char *device, const std::string &data, int writeback) {
    FtpPeer peer(
        ftp_script("220 ready|<|pasv|<|150 go|accept|data:" + data + "|close-data|226 done"));
    char *err = nullptr;
    FtpSession *s = ftp_connect("127.0.0.1", peer.port(), nullptr, &err);
    if (s == nullptr)
        return 81;
    ftp_set_passive(s, 1);
    ftp_device_writeback = writeback;
    int32_t counter = 0;
    int rc = ftp_get(s, device, "f", nullptr, &err, &counter);
    if (rc != 0)
        return rc == FTP_ERR_DOWNLOAD ? 80 : 81;
    int fd = open(device, O_RDONLY);
    std::string got(data.size(), '\0');
    void *map = mmap(nullptr, data.size(), PROT_READ, MAP_SHARED, fd, 0);
    std::vector<unsigned char> pages((data.size() + 4095) / 4096);
    if (map == MAP_FAILED || mincore(map, data.size(), pages.data()) != 0)
        return 81;
    size_t cached = 0;
    for (unsigned char p : pages)
        cached += p & 1;
    bool same = pread(fd, got.data(), got.size(), 0) == ssize_t(got.size()) && got == data &&
                counter == int32_t(data.size());
    if (!same)
        return 90;
    return cached <= 9 * 256 ? 1 : cached == pages.size() ? 2 : 3;
}

TEST(FtpGetOntoADisk, WrittenBackAsItArrivesWhenAsked) {
    constexpr size_t mib = 1 << 20;
    // Not a whole number of pages; no '|', which separates the script's steps.
    std::string data(13 * mib + 4097, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char('a' + i * 7 % 26);
    struct {
        const char *name;
        int writeback;
        size_t room;
        int result;
    } cases[] = {
        {"disk", 1, 16 * mib, 1},
        {"RAM disk: its cache is what the copy reads", 0, 16 * mib, 2},
        {"a failed writeback is no success", 1, 2 * mib, 80},
    };
    for (const auto &c : cases)
        EXPECT_EQ(
            on_small_disk(16 * mib, c.room,
                          [&](const char *dev) { return download_onto(dev, data, c.writeback); }),
            c.result)
            << c.name;
}

} // namespace
