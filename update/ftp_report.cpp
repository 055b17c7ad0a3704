// Wording of failed FTP steps for the console and the state file.
#include "update.h"

#include <cstring>
#include <string>

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

void report_ftp_text(int code, const char *text) {
    std::string line;
    if (text != nullptr && text[0] != '\0') {
        line = text;
        // The state file holds one line, and swap reads up to its end.
        if (line.back() != '\n')
            line += '\n';
    } else if (code == FTP_ERR_DOWNLOAD) {
        // The client says nothing when the device or RAM disk refused data or
        // the data connection broke.
        line = "Download stopped: the target took less data or the data connection failed\n";
    } else {
        line = "FTP error " + std::to_string(code) + "\n";
    }
    debug_print("  %s: %s", program_name, line.c_str());
    write_state(update_state_path, "%s", line.c_str());
}
