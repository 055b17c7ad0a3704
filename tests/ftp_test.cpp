// The FTP client: its parsers, and whole conversations with a scripted server
// (replies in, exact command transcript and result out).
#include "ftp.h"
#include "ftp_peer.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
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
    struct {
        const char *line;
        int rc;
        const char *addr;
        uint16_t port;
    } cases[] = {
        {"227 Entering Passive Mode (127,0,0,1,4,1)", 0, "127.0.0.1", 1025},
        {"227 =10,0,0,9,0,21", 0, "10.0.0.9", 21},
        {"227 skip 1,2,3 then (192,168,1,2,255,255)", 0, "192.168.1.2", 65535},
        {"227 (1,2,3,4,5,6,7)", -1, "", 0},
        {"227 (1,2,3,4,5)", -1, "", 0},
        {"227", -1, "", 0},
    };
    for (const auto &c : cases) {
        uint32_t addr = 0;
        uint16_t port = 0;
        ASSERT_EQ(ftp_parse_pasv(c.line, &addr, &port), c.rc) << c.line;
        if (c.rc == 0) {
            in_addr a{addr};
            EXPECT_STREQ(inet_ntoa(a), c.addr) << c.line;
            EXPECT_EQ(port, c.port) << c.line;
        }
    }
}

TEST(FtpSessionNew, TimeLimitBelowOneSecondMeansTwenty) {
    for (auto [setting, seconds] : {std::pair{-1, 20}, {0, 20}, {5, 5}}) {
        ftp_default_timeout = setting;
        FtpSession *s = ftp_session_new();
        EXPECT_EQ(s->timeout, seconds) << setting;
        EXPECT_EQ(s->port, 21);
        free(s);
    }
    ftp_default_timeout = FTP_DEFAULT_TIMEOUT;
}

enum Op { CONNECT, LOGIN, LOGIN_ACCT, TYPE_A, TYPE_I, TYPE_E, TYPE_X, GET, GET_ACTIVE, GET_FULL, PUT };

struct Conversation {
    const char *name;
    Op op;
    std::vector<std::string> script;
    int rc;
    std::string transcript, data; // data: the local file after a GET, what the server got from PUT
};
void PrintTo(const Conversation &c, std::ostream *os) { *os << c.name; }

const std::vector<std::string> hi = {"220 ready"};
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const std::vector<std::string> retr = {"<", "pasv", "<", "150 go", "accept", "data:hello"};

const Conversation conversations[] = {
    {"GreetingAccepted", CONNECT, hi, 0, "", ""},
    {"GreetingCodeIsThreeDigits", CONNECT, {"2201 ready"}, 0, "", ""},
    {"OtherPositiveGreetingRefused", CONNECT, {"230 ready"}, -1, "", ""},
    {"BusyGreetingRefused", CONNECT, {"421 busy"}, -1, "", ""},
    {"NoGreeting", CONNECT, {"close"}, -1, "", ""},
    {"UserAloneLogsIn", LOGIN, hi + std::vector<std::string>{"<", "230 in"}, 0, "USER u\r\n", ""},
    {"PasswordAsked", LOGIN, hi + std::vector<std::string>{"<", "331 pw", "<", "230 in"}, 0,
     "USER u\r\nPASS p\r\n", ""},
    {"PasswordRefused", LOGIN, hi + std::vector<std::string>{"<", "331 pw", "<", "530 no"}, 530,
     "USER u\r\nPASS p\r\n", ""},
    {"AccountAskedAndGiven", LOGIN_ACCT,
     hi + std::vector<std::string>{"<", "331 pw", "<", "332 acct", "<", "230 in"}, 0,
     "USER u\r\nPASS p\r\nACCT a\r\n", ""},
    {"AccountAskedNoneGiven", LOGIN, hi + std::vector<std::string>{"<", "332 acct"}, 332,
     "USER u\r\n", ""},
    {"MultiLineReplyEndsOnItsCode", LOGIN,
     hi + std::vector<std::string>{"<", "331-first\r\n 331 not yet\r\n331-last", "<", "230 in"}, 0,
     "USER u\r\nPASS p\r\n", ""},
    {"SilentServerHitsTheTimeLimit", LOGIN, hi + std::vector<std::string>{"<", "stall"}, -14,
     "USER u\r\n", ""},
    {"TypeAscii", TYPE_A, hi + std::vector<std::string>{"<", "200 ok"}, 0, "TYPE A\r\n", ""},
    {"TypeImage", TYPE_I, hi + std::vector<std::string>{"<", "200 ok"}, 0, "TYPE I\r\n", ""},
    {"TypeEbcdic", TYPE_E, hi + std::vector<std::string>{"<", "200 ok"}, 0, "TYPE E\r\n", ""},
    {"TypeRefused", TYPE_I, hi + std::vector<std::string>{"<", "504 no"}, 504, "TYPE I\r\n", ""},
    {"UnknownTypeSendsNothing", TYPE_X, hi, -1, "", ""},
    {"PassiveGet", GET, hi + retr + std::vector<std::string>{"close-data", "226 done"}, 0,
     "PASV\r\nRETR f\r\n", "hello"},
    {"ActiveGet", GET_ACTIVE,
     hi + std::vector<std::string>{"<", "200 ok", "<", "150 go", "port", "data:hi", "close-data",
                                   "226 done"},
     0, "PORT 127,0,0,1,P\r\nRETR f\r\n", "hi"},
    {"GetRefused", GET, hi + std::vector<std::string>{"<", "pasv", "<", "550 none"}, 550,
     "PASV\r\nRETR f\r\n", ""},
    {"GetWithoutFinalReplyFails", GET, hi + retr + std::vector<std::string>{"close-data", "close"},
     -9, "PASV\r\nRETR f\r\n", "hello"},
    {"GetWithFinalReply451Fails", GET,
     hi + retr + std::vector<std::string>{"close-data", "451 aborted"}, -9, "PASV\r\nRETR f\r\n",
     "hello"},
    {"GetFinalReplyTimeLimit", GET, hi + retr + std::vector<std::string>{"close-data", "stall"},
     -14, "PASV\r\nRETR f\r\n", "hello"},
    {"GetIntoAFullDeviceFails", GET_FULL,
     hi + retr + std::vector<std::string>{"close-data", "226 done"}, -16, "PASV\r\nRETR f\r\n", ""},
    {"PassivePut", PUT,
     hi + std::vector<std::string>{"<", "pasv", "<", "150 go", "accept", "recv-data", "226 ok"}, 0,
     "PASV\r\nSTOR f\r\n", "upload"},
    {"PutFinalReplyTimeLimit", PUT,
     hi + std::vector<std::string>{"<", "pasv", "<", "150 go", "accept", "recv-data", "stall"},
     -15, "PASV\r\nSTOR f\r\n", "upload"},
};

class FtpConversation : public ::testing::TestWithParam<Conversation> {
  protected:
    void SetUp() override { ftp_default_timeout = 1; }
    void TearDown() override {
        ftp_default_timeout = FTP_DEFAULT_TIMEOUT;
        unlink(local_.c_str());
    }
    std::string local_ = "/tmp/ftp_test." + std::to_string(getpid());
};

TEST_P(FtpConversation, TranscriptAndResult) {
    const Conversation &c = GetParam();
    FtpPeer peer(c.script);
    char *err = nullptr;
    FtpSession *s = ftp_connect("127.0.0.1", peer.port(), nullptr, &err);
    int rc = s != nullptr ? 0 : -1;
    std::ofstream(local_) << "upload";
    if (s != nullptr && c.op != CONNECT) {
        ftp_set_passive(s, c.op != GET_ACTIVE);
        const char *file = c.op == GET_FULL ? "/dev/full" : local_.c_str();
        switch (c.op) {
        case LOGIN:
        case LOGIN_ACCT:
            rc = ftp_login(s, "u", "p", c.op == LOGIN_ACCT ? "a" : nullptr, nullptr, &err);
            break;
        case TYPE_A:
        case TYPE_I:
        case TYPE_E:
        case TYPE_X:
            rc = ftp_type(s, c.op - TYPE_A, nullptr, &err);
            break;
        case PUT:
            rc = ftp_put(s, file, "f", nullptr, &err);
            break;
        default:
            rc = ftp_get(s, file, "f", nullptr, &err, nullptr);
        }
    }
    EXPECT_EQ(rc, c.rc) << (err != nullptr ? err : "");
    std::string sent = peer.transcript();
    EXPECT_EQ(std::regex_replace(sent, std::regex("PORT 127,0,0,1,\\d+,\\d+"), "PORT 127,0,0,1,P"),
              c.transcript);
    if (c.op == PUT) {
        EXPECT_EQ(peer.received(), c.data);
    } else if (c.op == GET || c.op == GET_ACTIVE) {
        std::ostringstream got;
        got << std::ifstream(local_).rdbuf();
        EXPECT_EQ(got.str(), c.data);
    }
    free(err);
    if (s != nullptr) {
        for (FILE *f : {s->ctrl_in, s->ctrl_out, s->data_in, s->data_out})
            if (f != nullptr)
                fclose(f);
        free(s);
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, FtpConversation, ::testing::ValuesIn(conversations),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
