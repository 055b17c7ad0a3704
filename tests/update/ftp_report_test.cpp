// Wording of failed FTP steps: the fixed table, the client's own text, and
// failures that come without any text.
#include "update_test_util.h"

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

struct ReportCase {
    int code;
    const char *text; // client text passed in
    const char *want; // state-file line, and the console line after "  update: "
};

constexpr ReportCase report_cases[] = {
    {202, "x\n", "Command not implemented\n"},
    {421, "x\n", "Service shutting down\n"},
    {425, "x\n", "Cannot open data connection\n"},
    {426, "x\n", "Connection closed\n"},
    {450, "x\n", "File unavailable\n"},
    {451, "x\n", "Local error encountered\n"},
    {452, "x\n", "Insufficient disk space\n"},
    {500, "x\n", "Invalid command\n"},
    {501, "x\n", "Bad parameter\n"},
    {502, "x\n", "Command not implemented\n"},
    {503, "x\n", "Bad command sequence\n"},
    {504, "x\n", "Parameter invalid for command\n"},
    {530, "x\n", "Not logged onto network\n"},
    {532, "x\n", "Need account for storing files\n"},
    {550, nullptr, "File unavailable\n"},
    {551, "x\n", "Page type unknown\n"},
    {552, "x\n", "Storage allocation exceeded\n"},
    {553, "x\n", "File name not allowed\n"},
    // Codes outside the table bring the client's text as it is.
    {-1, "Login failed\n", "Login failed\n"},
    {-14, "timeout while reading server response\n", "timeout while reading server response\n"},
    {331, "331 password required\n", "331 password required\n"},
    {554, "554 no\n", "554 no\n"},
    {0, "odd\n", "odd\n"},
    // A text refused for CR/LF comes back as -1 with the client's message.
    {-1, "argument holds CR or LF\n", "argument holds CR or LF\n"},
    // The state file keeps exactly one line even for a text without its end.
    {-3, "Connection refused", "Connection refused\n"},
    // No text at all: a short write onto the device, or a bare failure.
    {-16, nullptr, "Download stopped: the target took less data or the data connection failed\n"},
    {-16, "", "Download stopped: the target took less data or the data connection failed\n"},
    {-9, nullptr, "FTP error -9\n"},
};

class FtpReport : public UpdateStateTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(FtpReport, StateAndConsoleCarryTheSameLine) {
    const ReportCase &c = GetParam();
    run_flag_set(RUN_DEBUG);
    CaptureStdout();
    report_ftp_failure(c.code, c.text);
    std::string console = GetCapturedStdout();
    EXPECT_EQ(state(), c.want);
    EXPECT_EQ(console, std::string("  update: ") + c.want);
}

INSTANTIATE_TEST_SUITE_P(Table, FtpReport, ::testing::ValuesIn(report_cases));

TEST_F(UpdateStateTest, FtpReportIsSilentWithoutDebug) {
    CaptureStdout();
    report_ftp_failure(550, nullptr);
    report_ftp_failure(-14, "timeout reading data\n");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(state(), "timeout reading data\n");
}

TEST(FtpFailureText, SharedWordingsAndUnknownCodes) {
    EXPECT_STREQ(ftp_failure_text(202), ftp_failure_text(502));
    EXPECT_STREQ(ftp_failure_text(450), ftp_failure_text(550));
    for (int code : {0, 200, 226, 331, 530 + 1, 554, 599, -1, -16})
        EXPECT_EQ(ftp_failure_text(code), nullptr) << code;
}

} // namespace

namespace {

TEST(ServerTextLine, OnePrintableLineThatNeverPosesAsTheVerdict) {
    struct {
        const char *text;
        const char *want;
    } cases[] = {
        {"timeout waiting for data channel\nInterrupted system call\n",
         "timeout waiting for data channel; Interrupted system call\n"},
        {"451 no\r\n", "451 no\n"},
        {"\x1b[31mred\x1b[0m \x9b"
         "2J\x07",
         "[31mred[0m 2J\n"},
        {"421 You can swap the system\r\n", "421 (verdict text withheld)\n"},
        {"you CAN swap\x01 THE system twice: You can swap the system",
         "(verdict text withheld) twice: (verdict text withheld)\n"},
        {"\n\r\n", "\n"},
    };
    for (auto c : cases)
        EXPECT_EQ(server_text_line(c.text), c.want) << c.text;
    EXPECT_EQ(server_text_line(std::string(500, 'a').c_str()), std::string(200, 'a') + "\n");
}

} // namespace
