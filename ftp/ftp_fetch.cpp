// A small file fetched into memory: never written anywhere, and never more
// of it than the caller has room for.

#include "ftp.h"
#include "ftp_internal.h"

#include <cerrno>

int ftp_fetch(FtpSession *s, const char *remote_path, char *buf, size_t cap, size_t *len,
              int *whole, char **info, char **err) {
    *len = 0;
    *whole = 0;
    char command[FTP_LINE_MAX];
    if (ftp_internal::format_command(command, "RETR", remote_path, false, err) != FTP_OK)
        return FTP_ERR;
    int code = 0;
    int rc = ftp_open_data(s, command, &code, nullptr, info, err);
    if (rc != FTP_OK) {
        if (rc < 0 && rc != FTP_ERR_DATA)
            ftp_internal::append_errno(err, errno);
        // A reply without a number must not read as success.
        return code == 0 ? FTP_ERR : code;
    }
    bool failed;
    {
        // One time limit for the whole file: it is small.
        ftp_internal::TimeLimit limit(s->timeout);
        *len = fread(buf, 1, cap, s->data_in);
        *whole = *len < cap || fgetc(s->data_in) == EOF;
        failed = ferror(s->data_in) != 0;
    }
    if (failed)
        return FTP_ERR_DOWNLOAD;
    // Closed early, the server may well call the transfer failed; its reply
    // is read all the same, so that the next command meets its own.
    rc = ftp_close_data(s, info, err);
    return *whole ? rc : FTP_OK;
}
