// Wording of failed FTP steps for the console and the state file.
#include "update_internal.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

namespace {

struct FailureText {
    int code;
    const char *text;
};

constexpr FailureText failure_texts[] = {
    {202, "Command not implemented\n"},
    {421, "Service shutting down\n"},
    {425, "Cannot open data connection\n"},
    {426, "Connection closed\n"},
    {450, "File unavailable\n"},
    {451, "Local error encountered\n"},
    {452, "Insufficient disk space\n"},
    {500, "Invalid command\n"},
    {501, "Bad parameter\n"},
    {502, "Command not implemented\n"},
    {503, "Bad command sequence\n"},
    {504, "Parameter invalid for command\n"},
    {530, "Not logged onto network\n"},
    {532, "Need account for storing files\n"},
    {550, "File unavailable\n"},
    {551, "Page type unknown\n"},
    {552, "Storage allocation exceeded\n"},
    {553, "File name not allowed\n"},
};

} // namespace

const char *ftp_failure_text(int code) {
    for (const FailureText &f : failure_texts) {
        if (f.code == code)
            return f.text;
    }
    return nullptr;
}

void report_ftp_failure(int code, const char *text) {
    const char *fixed = ftp_failure_text(code);
    if (fixed == nullptr) {
        report_ftp_text(code, text);
        return;
    }
    debug_print("  %s: %s", program_name, fixed);
    write_state(update_state_path, "%s", fixed);
}

std::string server_text_line(const char *text) {
    // The text comes from the server or is built around its replies: it must
    // not break the one-line state file, drive the console, or pose as the
    // verdict that swap acts on.
    std::string line;
    bool pending_break = false;
    for (const char *c = text; *c != '\0' && line.size() < SERVER_TEXT_MAX; ++c) {
        unsigned char ch = static_cast<unsigned char>(*c);
        if (ch == '\n') {
            pending_break = true;
            continue;
        }
        if (ch < 0x20 || ch >= 0x7f)
            continue;
        if (pending_break && !line.empty())
            line += "; ";
        pending_break = false;
        line += static_cast<char>(ch);
    }
    if (line.size() > SERVER_TEXT_MAX)
        line.resize(SERVER_TEXT_MAX);
    static constexpr std::string_view verdict = STATE_VERDICT;
    for (;;) {
        auto hit = std::search(line.begin(), line.end(), verdict.begin(), verdict.end(),
                               [](char a, char b) { return tolower(a) == tolower(b); });
        if (hit == line.end())
            break;
        line.replace(hit, hit + verdict.size(), "(verdict text withheld)");
    }
    return line + "\n";
}

void report_ftp_text(int code, const char *text) {
    std::string line = text != nullptr ? server_text_line(text) : "\n";
    // The client says nothing when the device or RAM disk refused data or
    // the data connection broke.
    if (line == "\n" && code == FTP_ERR_DOWNLOAD)
        line = "Download stopped: the target took less data or the data connection failed\n";
    else if (line == "\n")
        line = "FTP error " + std::to_string(code) + "\n";
    debug_print("  %s: %s", program_name, line.c_str());
    write_state(update_state_path, "%s", line.c_str());
}
