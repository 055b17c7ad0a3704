// The FTP client: its parsers, and whole conversations with a scripted server
// (replies in, exact command transcript and result out).
#include "base.h"
#include "ftp.h"
#include "ftp_internal.h"
#include "ftp_peer.h"
#include "small_disk.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/mman.h>
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
        {"227 (1,2,3,256,1,0)", "refused"}, {"227 (127,0,0,1,300,10)", "refused"}, // a byte > 255
        {"227 (99999999999999999999,0,0,1,4294967296,1)", "refused"},
        {"227 (1,2,3,4,5,6,7)", "refused"}, {"227 (1,2,3,4,5)", "refused"}, {"227", "refused"},
    };
    // clang-format on
    for (const auto &[line, want] : cases) {
        uint32_t addr = 0;
        uint16_t port = 0;
        bool ok = ftp_parse_pasv(line, &addr, &port) == 0;
        EXPECT_EQ(ok ? inet_ntoa(in_addr{addr}) + (":" + std::to_string(port)) : "refused", want)
            << line;
    }
}

TEST(FtpAnnouncedSize, LastBytesGroupOfTheOpeningReply) {
    // clang-format off
    const std::pair<const char *, int64_t> cases[] = {
        {"150 Opening BINARY mode data connection for f (4194304 bytes).\r\n", 4194304},
        {"150 (12 bytes) of f (34 bytes).", 34}, {"150 (5 bytes) then (junk)", 5},
        {"150 (9223372036854775807 bytes)", 9223372036854775807},
        {"150 (5 bytes) (9223372036854775808 bytes)", -1}, {"150 Opening BINARY mode", -1},
        {"150 (-5 bytes)", -1}, {"150 ( 5 bytes)", -1}, {"150 (5 Bytes)", -1}, {nullptr, -1},
    };
    // clang-format on
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
    const std::string path = "/tmp/ftp_test_hosts." + std::to_string(getpid());
    // clang-format off
    std::ofstream(path) << "# 10.0.0.1 commented\n::1 localhost ip6-localhost\nnot-an-address ftp\n"
        "127.0.0.1\tlocalhost\n192.168.7.20  ftp.example.lan Mirror  # primary 10.9.9.9\n"
        "192.168.7.21 mirror backup\r\n10.1.2.3 " + std::string(2000, 'x') + " long\n"
        "10.3.3.3 last"; // no line end
    const std::pair<const char *, const char *> cases[] = {
        {"ftp.example.lan", "192.168.7.20"}, {"FTP.Example.LAN", "192.168.7.20"},
        {"mirror", "192.168.7.20"}, {"backup", "192.168.7.21"}, {"localhost", "127.0.0.1"},
        {"long", "10.1.2.3"}, {"last", "10.3.3.3"}, {"ftp", "none"}, {"commented", "none"},
        {"primary", "none"}, {"10.9.9.9", "none"}, {"ftp.example", "none"}, {"", "none"},
    };
    // clang-format on
    in_addr addr{};
    for (auto [host, want] : cases) {
        bool found = ftp_internal::hosts_file_lookup(path.c_str(), host, &addr);
        EXPECT_STREQ(found ? inet_ntoa(addr) : "none", want) << host;
    }
    EXPECT_FALSE(ftp_internal::hosts_file_lookup("/nonexistent/hosts", "localhost", &addr));
    unlink(path.c_str());
}

std::string slurp(const std::string &path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

// Gets come last; UPDATE: update's steps, login, TYPE I and a passive GET.
enum Op { CONNECT, LOGIN, ACCOUNT, TYPE_A, TYPE_I, TYPE_E, TYPE_X, PUT, GET, ACTIVE, FULL, UPDATE };

struct Conversation {
    const char *name;
    Op op;
    std::string script; // steps of the scripted server, '|' between them
    int rc;
    // data: the local file and its copy after a GET ("*": any), what the
    // server got from PUT, the error text of CONNECT
    std::string transcript, data = "";
    int32_t counter = 0; // the byte counter before a GET
};
void PrintTo(const Conversation &c, std::ostream *os) {
    *os << c.name;
}

#define HI "220 ready|<|"
#define RETR(opening) HI "pasv|<|" opening "|accept|data:hello|close-data"
#define DRIP "|data:x|sleep:600|data:x|sleep:600|data:x|sleep:600"
#define DRIP_LINES "|sleep:600| more|sleep:600| more|sleep:600| more"
#define UP "USER u\r\nPASS p\r\n"
#define GOT "PASV\r\nRETR f\r\n"
#define PORTED "PORT 127,0,0,1,P\r\nRETR f\r\n"
#define USER "USER u\r\n"
#define STOR HI "pasv|<|150 go|accept|recv-data"
#define NO_GREETING "unable to read greetings from server\n"
// clang-format off
// Servers that begin every line of a long reply with its code.
#define GREETING_4 "220---------- Welcome to the FTP service ----------\r\n220-User 1 of 50.\r\n" \
    "220-Local time is now 06:40.\r\n220 You will be disconnected after 15 idle minutes."
#define MOTD_230 "230-Welcome\r\n230-\r\n230-Authorised use only\r\n230 Logged in"
// Larger than the copy pipe, so that the download waits for its reader.
const std::string big = [] {
    std::string data(300 * 1024 + 7, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char('a' + i * 11 % 26);
    return data;
}();

const Conversation conversations[] = {
    {"GreetingCodeIsThreeDigits", CONNECT, "2201 ready", 0, "", ""},
    {"OtherPositiveGreetingRefused", CONNECT, "230 ready", -1, "", "230 ready\r\n"},
    {"RefusalFourthCharBlanked", CONNECT, "421-busy\r\n421 later", -1, "", "421 busy\r\n"},
    {"RefusalWithoutLineEnd", CONNECT, "raw:500-no line end|close", -1, "", "500 no line end\n"},
    {"NoGreeting", CONNECT, "close", -1, "", NO_GREETING},
    {"MultiLineGreetingCutShort", CONNECT, "220-first|close", -1, "", NO_GREETING},
    {"SilentGreetingHitsTheTimeLimit", CONNECT, "stall", -1, "", NO_GREETING},
    {"ContinuedLinesThroughAWholeDownload", UPDATE, GREETING_4 "|<|331 pw|<|" MOTD_230 "|<|200 ok"
     "|<|pasv|<|150-Accepted data connection\r\n150 0.0 kbytes to download|accept|data:hello|"
     "close-data|226-File successfully transferred\r\n226 0.001 seconds", 0, UP "TYPE I\r\n" GOT,
     "hello"},
    {"FourLineGreeting", LOGIN, GREETING_4 "|<|230 in", 0, USER},
    {"MotdLinesBeforeLoggedIn", UPDATE, HI "331 pw|<|" MOTD_230 "|<|200 ok|<|pasv|<|150 go|accept"
     "|data:hello|close-data|226 done", 0, UP "TYPE I\r\n" GOT, "hello"},
    {"UserAloneLogsIn", LOGIN, HI "230 in", 0, USER},
    {"PasswordAsked", LOGIN, HI "331 pw|<|230 in", 0, UP},
    {"PasswordRefused", LOGIN, HI "331 pw|<|530 no", 530, UP},
    {"AccountAskedAndGiven", ACCOUNT, HI "331 pw|<|332 acct|<|230 in", 0, UP "ACCT a\r\n"},
    {"AccountAskedNoneGiven", LOGIN, HI "332 acct", 332, USER},
    {"MultiLineReplyEndsOnItsCodeAndABlank", LOGIN,
     HI "331-first\r\n 331 not yet\r\n230 nor this\r\n331-nor this\r\n331 last|<|230 in", 0, UP},
    {"SilentServerHitsTheTimeLimit", LOGIN, HI "stall", -14, USER},
    {"DrippingReplyMeetsOneTimeLimit", LOGIN, HI "331-a" DRIP_LINES DRIP_LINES "|stall", -14, USER},
    {"TypeAscii", TYPE_A, HI "200 ok", 0, "TYPE A\r\n"},
    {"TypeEbcdic", TYPE_E, HI "200 ok", 0, "TYPE E\r\n"},
    {"TypeRefused", TYPE_I, HI "504 no", 504, "TYPE I\r\n"},
    {"UnknownTypeSendsNothing", TYPE_X, "220 ready", -1, ""},
    {"PassiveGet", GET, RETR("150 go") "|226 done", 0, GOT, "hello"},
    {"ActiveGet", ACTIVE, HI "200 ok|<|150 go|port|data:hi|close-data|226 done", 0, PORTED, "hi"},
    {"CopyWaitsForItsReader", GET, HI "pasv|<|150 go|accept|data:" + big + "|close-data|226 ok", 0,
     GOT, big},
    {"GetOfTheAnnouncedSize", GET, RETR("150 f (5 bytes).") "|226 done", 0, GOT, "hello"},
    {"GetShorterThanAnnounced", GET, RETR("150 f (6 bytes).") "|226 done", -16, GOT, "hello"},
    {"GetUpToInt32Max", GET, RETR("150 go") "|226 done", 0, GOT, "hello", 2147483642},
    {"GetPastInt32MaxIsTooLarge", GET, RETR("150 go") "|226 done", -16, GOT, "hello", 2147483643},
    {"ServerNeverConnectsToTheActivePort", ACTIVE, HI "200 ok|<|150 go|stall", 150, PORTED, ""},
    {"TricklingServerMeetsTheTimeLimit", GET, HI "pasv|<|150 go|accept" DRIP DRIP, -16, GOT, "*"},
    {"GetRefused", GET, HI "pasv|<|550 none", 550, GOT, ""},
    {"GetWithoutFinalReplyFails", GET, RETR("150 go") "|close", -9, GOT, "hello"},
    {"GetWithFinalReply451Fails", GET, RETR("150 go") "|451 aborted", -9, GOT, "hello"},
    {"GetFinalReplyTimeLimit", GET, RETR("150 go") "|stall", -14, GOT, "hello"},
    {"GetIntoAFullDeviceFails", FULL, RETR("150 go") "|226 done", -16, GOT, "*"},
    {"PassivePut", PUT, STOR "|226 ok", 0, "PASV\r\nSTOR f\r\n", "upload"},
    {"PutFinalReplyTimeLimit", PUT, STOR "|stall", -15, "PASV\r\nSTOR f\r\n", "upload"},
};
// clang-format on

class FtpConversation : public ::testing::TestWithParam<Conversation> {};

TEST_P(FtpConversation, TranscriptAndResult) {
    const Conversation &c = GetParam();
    const std::string local = "/tmp/ftp_test." + std::to_string(getpid());
    ftp_default_timeout = 1; // every limit here is one second
    bool get = c.op >= GET;
    // No time limit may lean on SIGALRM: it stays blocked. A talk stuck for
    // want of a limit is ended by SIGUSR1 (no SA_RESTART).
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    struct sigaction act {};
    act.sa_handler = [](int) {};
    sigaction(SIGUSR1, &act, nullptr);
    // Downloads run on both data loops: splice and plain reads.
    for (int splice = 1; splice >= int(!get); --splice) {
        SCOPED_TRACE(splice ? "splice" : "plain loop");
        ftp_internal::download_splice = splice;
        FtpPeer peer(ftp_script(c.script));
        char *err = nullptr;
        int32_t rc = -1, counter = c.counter;
        std::ofstream(local) << "upload";
        UniquePipe copy;
        ASSERT_EQ(pipe_open(&copy, 64 * 1024), 64 * 1024);
        auto copied = std::async(std::launch::async, slurp,
                                 "/proc/self/fd/" + std::to_string(copy.read_end.fd));
        ftp_download_copy_fd = copy.write_end.fd;
        FtpSession *s = nullptr;
        auto talk = [&] {
            if ((s = ftp_connect("127.0.0.1", peer.port(), nullptr, &err)) == nullptr)
                return;
            rc = 0;
            ftp_set_passive(s, c.op != ACTIVE);
            if (c.op == LOGIN || c.op == ACCOUNT || c.op == UPDATE)
                rc = ftp_login(s, "u", "p", c.op == ACCOUNT ? "a" : nullptr, nullptr, &err);
            if (rc == 0 && (c.op == UPDATE || (c.op >= TYPE_A && c.op <= TYPE_X)))
                rc = ftp_type(s, c.op == UPDATE ? FTP_TYPE_IMAGE : c.op - TYPE_A, nullptr, &err);
            if (c.op == PUT)
                rc = ftp_put(s, local.c_str(), "f", nullptr, &err);
            const char *file = c.op == FULL ? "/dev/full" : local.c_str();
            if (rc == 0 && get)
                rc = ftp_get(s, file, "f", nullptr, &err, &counter);
        };
        std::atomic<pthread_t> talker;
        auto talked = std::async(std::launch::async, [&] { talker = pthread_self(), talk(); });
        EXPECT_EQ(talked.wait_for(std::chrono::seconds(3)), std::future_status::ready)
            << "still waiting after 3 s: a time limit was lost";
        while (talked.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready)
            pthread_kill(talker, SIGUSR1);
        EXPECT_EQ(rc, c.rc) << (err != nullptr ? err : "");
        EXPECT_EQ(std::regex_replace(peer.transcript(), std::regex("\\d+,\\d+\r"), "P\r"),
                  c.transcript);
        ftp_download_copy_fd = -1;
        copy.write_end.reset();
        std::string data = c.op == PUT ? peer.received() : c.op == CONNECT && err ? err : "";
        if (get)
            data = slurp(local);
        if (c.data != "*") {
            EXPECT_EQ(data, c.data);
            EXPECT_EQ(copied.get(), get ? c.data : "");
        }
        if (get && rc == 0) {
            EXPECT_EQ(counter, c.counter + int32_t(c.data.size()));
        }
        free(err);
        if (s != nullptr) {
            ftp_internal::close_data_streams(s);
            ftp_internal::close_control(s);
            free(s);
        }
    }
    ftp_internal::download_splice = true;
    ftp_default_timeout = FTP_DEFAULT_TIMEOUT;
    unlink(local.c_str());
}

INSTANTIATE_TEST_SUITE_P(Replies, FtpConversation, ::testing::ValuesIn(conversations),
                         [](const auto &info) { return std::string(info.param.name); });

// Downloads `data` onto the device: 80 when ftp_get failed with -16, 81 on another failure, 90
// when the device or the counter disagrees with the data; else 1 when at most two 4 MiB windows
// (and a splice of up to 1 MiB) stay in the page cache, 2 when all of it does, 3 otherwise.
int download_onto(const char *device, const std::string &data, int writeback) {
    FtpPeer peer(ftp_script(HI "pasv|<|150 go|accept|data:" + data + "|close-data|226 done"));
    FtpSession *s = ftp_connect("127.0.0.1", peer.port(), nullptr, nullptr);
    if (s == nullptr)
        return 81;
    ftp_set_passive(s, 1);
    ftp_device_writeback = writeback;
    int32_t counter = 0;
    if (int rc = ftp_get(s, device, "f", nullptr, nullptr, &counter); rc != 0)
        return rc == FTP_ERR_DOWNLOAD ? 80 : 81;
    void *map = mmap(nullptr, data.size(), PROT_READ, MAP_SHARED, open(device, O_RDONLY), 0);
    std::vector<unsigned char> pages((data.size() + 4095) / 4096);
    if (map == MAP_FAILED || mincore(map, data.size(), pages.data()) != 0)
        return 81;
    size_t cached =
        std::count_if(pages.begin(), pages.end(), [](unsigned char p) { return p & 1; });
    if (slurp(device).substr(0, data.size()) != data || counter != int32_t(data.size()))
        return 90;
    // At least one 4 MiB window gone from the cache: the kernel may keep some
    // pages of another a while under load, so the bound is not two windows.
    return cached + 1024 <= pages.size() ? 1 : cached == pages.size() ? 2 : 3;
}

TEST(FtpGetOntoADisk, WrittenBackAsItArrivesWhenAsked) {
    constexpr size_t mib = 1 << 20;
    // Not a whole number of pages; no '|', which separates the script's steps.
    std::string data(13 * mib + 4097, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char('a' + i * 7 % 26);
    const std::tuple<const char *, int, size_t, int> cases[] = {
        {"disk", 1, 16 * mib, 1},
        {"RAM disk: its cache is what the copy reads", 0, 16 * mib, 2},
        {"a failed writeback is no success", 1, 2 * mib, 80},
    };
    for (auto [name, writeback, room, result] : cases) {
        auto body = [&](const char *dev) { return download_onto(dev, data, writeback); };
        EXPECT_EQ(on_small_disk(16 * mib, room, body), result) << name;
    }
}

} // namespace
