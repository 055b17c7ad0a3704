// Parsers and helpers of the FTP client that need no socket.

#include "ftp_test_util.h"

#include <arpa/inet.h>
#include <cstring>

namespace {

TEST(FtpReply, CodeReadsFirstThreeCharactersOnly) {
    struct Case {
        const char *line;
        int code;
    } cases[] = {
        {"220 ready\r\n", 220},
        {"230-Welcome\r\n", 230},
        {"2301 four digits\r\n", 230},
        {" 42 leading blank\r\n", 42},
        {"  7\r\n", 7},
        {"12a\r\n", 12},
        {"abc\r\n", 0},
        {"\r\n", 0},
        {"", 0},
        {"-12 no sign\r\n", 0},
        {"+12 no sign\r\n", 0},
        {"99", 99},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ftp_reply_code(c.line), c.code) << c.line;
}

TEST(FtpPasv, NumberGroupScan) {
    struct Case {
        const char *line;
        int result;
        const char *addr;
        uint16_t port;
    } cases[] = {
        {"227 Entering Passive Mode (192,168,0,5,19,137)\r\n", 0, "192.168.0.5", 5001},
        {"227 =10,1,2,3,0,21", 0, "10.1.2.3", 21},
        // A shorter group first is skipped.
        {"227 try 1,2 then (127,0,0,1,200,10)\r\n", 0, "127.0.0.1", 51210},
        // The code and the character after it are not scanned.
        {"2271,2,3,4,5,6 (9,8,7,6,0,1)\r\n", 0, "9.8.7.6", 1},
        {"227 (1,2,3,4,255,255)\r\n", 0, "1.2.3.4", 65535},
        // A number above 255 names no byte: the reply cannot be used.
        {"227 (1,2,3,256,1,0)\r\n", -1, nullptr, 0},
        {"227 (127,0,0,1,300,10)\r\n", -1, nullptr, 0},
        {"227 (99999999999999999999,0,0,1,4294967296,1)", -1, nullptr, 0},
        {"227 (1,2,3,4,5,6,7)\r\n", -1, nullptr, 0},
        {"227 Entering Passive Mode\r\n", -1, nullptr, 0},
        {"227 1,2,3 4,5\r\n", -1, nullptr, 0},
        {"227", -1, nullptr, 0},
    };
    for (const Case &c : cases) {
        uint32_t addr = 0xdeadbeef;
        uint16_t port = 0xbeef;
        ASSERT_EQ(ftp_parse_pasv(c.line, &addr, &port), c.result) << c.line;
        if (c.result != 0)
            continue;
        in_addr a{};
        a.s_addr = addr;
        EXPECT_STREQ(inet_ntoa(a), c.addr) << c.line;
        EXPECT_EQ(port, c.port) << c.line;
    }
}

TEST(FtpAnnouncedSize, LastBytesGroup) {
    struct Case {
        const char *line;
        int64_t size;
    } cases[] = {
        {"150 Opening BINARY mode data connection for nimbotex (4194304 bytes).\r\n", 4194304},
        {"150 (12 bytes) of f (34 bytes).\r\n", 34},
        {"150 (5 bytes) then (junk)\r\n", 5},
        {"150 (0 bytes)\r\n", 0},
        {"150 (9223372036854775807 bytes)\r\n", 9223372036854775807},
        {"150 (5 bytes) (9223372036854775808 bytes)\r\n", -1},
        {"150 (123456789012345678901234567890 bytes)\r\n", -1},
        {"150 Opening BINARY mode data connection\r\n", -1},
        {"150 (-5 bytes)\r\n", -1},
        {"150 ( 5 bytes)\r\n", -1},
        {"150 (5 bytes\r\n", -1},
        {"150 (5 Bytes)\r\n", -1},
        {nullptr, -1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ftp_announced_size(c.line), c.size) << (c.line ? c.line : "null");
}

TEST(FtpDirName, QuotedNameFromSixthCharacter) {
    struct Case {
        const char *line;
        const char *name; // nullptr: none
    } cases[] = {
        {"257 \"/pub\" is the current directory\r\n", "/pub"},
        {"257 \"/a \"\"b\"\"\" created\r\n", "/a "},
        {"257 \"\" empty\r\n", ""},
        {"257 \"/no/closing/quote\r\n", nullptr},
        {"257 /x\" odd\r\n", "x"},
        {"257 \"", nullptr},
        {"257", nullptr},
    };
    for (const Case &c : cases) {
        char *name = ftp_parse_dir_name(c.line);
        if (c.name == nullptr) {
            EXPECT_EQ(name, nullptr) << c.line;
        } else if (name == nullptr) {
            ADD_FAILURE() << "no name in " << c.line;
        } else {
            EXPECT_STREQ(name, c.name) << c.line;
        }
        free(name);
    }
}

TEST(FtpText, AppendGrowsCallerString) {
    Text t;
    ftp_append_text(&t.s, "one ");
    ftp_append_text(&t.s, "two\n");
    EXPECT_EQ(t.str(), "one two\n");

    // A caller's own heap string is extended.
    Text own;
    own.s = strdup("mine:");
    ftp_append_text(&own.s, "x");
    EXPECT_EQ(own.str(), "mine:x");

    ftp_append_text(nullptr, "ignored"); // must not crash
}

TEST(FtpSessionNew, InitialValues) {
    int saved = ftp_default_timeout;
    struct Case {
        int setting;
        int timeout;
    } cases[] = {{20, 20}, {3, 3}, {-1, 20}, {0, 20}};
    for (const Case &c : cases) {
        ftp_default_timeout = c.setting;
        FtpSession *s = ftp_session_new();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->timeout, c.timeout) << c.setting;
        EXPECT_EQ(s->port, 21);
        EXPECT_EQ(s->pasv_port, 20);
        EXPECT_EQ(s->pasv_addr, 0u);
        EXPECT_EQ(s->passive, 0);
        EXPECT_EQ(s->ctrl_out, nullptr);
        EXPECT_EQ(s->data_in, nullptr);
        free(s);
    }
    ftp_default_timeout = saved;
}

} // namespace
