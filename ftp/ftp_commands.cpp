// Control commands: login, type, directories, delete, rename, data mode.

#include "ftp.h"
#include "ftp_internal.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int user_accepted[] = {230, 331, 332, 0};
constexpr int user_refused[] = {421, 500, 501, 530, 0};
constexpr int pass_accepted[] = {230, 332, 0};
constexpr int pass_refused[] = {202, 421, 500, 501, 503, 530, 0};
constexpr int acct_accepted[] = {230, 0};
constexpr int acct_refused[] = {202, 421, 500, 503, 530, 0};
constexpr int type_accepted[] = {200, 0};
constexpr int type_refused[] = {421, 500, 501, 504, 530, 0};
constexpr int cd_accepted[] = {200, 250, 0};
constexpr int dir_refused[] = {421, 500, 501, 502, 530, 550, 0};
constexpr int rmd_accepted[] = {250, 0};
constexpr int mkd_accepted[] = {257, 0};
constexpr int dele_accepted[] = {250, 0};
constexpr int dele_refused[] = {421, 450, 500, 501, 502, 530, 550, 0};
constexpr int rnfr_accepted[] = {350, 0};
constexpr int rnfr_refused[] = {421, 450, 500, 501, 502, 530, 550, 0};
constexpr int rnto_accepted[] = {250, 0};
constexpr int rnto_refused[] = {421, 500, 501, 502, 530, 532, 553, 0};

// One command: format, send, judge. Returns 0 or the operation's failure code;
// *code (if given) gets the raw reply code.
int simple_command(FtpSession *s, const char *verb, const char *arg, bool arg_optional,
                   const int *accepted, const int *refused, int *code, char **info, char **err) {
    char line[FTP_LINE_MAX];
    if (ftp_internal::format_command(line, verb, arg, arg_optional, err) != FTP_OK)
        return FTP_ERR;
    int reply = 0;
    int rc = ftp_command(s, line, accepted, refused, &reply, nullptr, info, err);
    if (code != nullptr)
        *code = reply;
    return ftp_internal::command_result(rc, reply);
}

} // namespace

int ftp_login(FtpSession *s, const char *user, const char *password, const char *account,
              char **info, char **err) {
    // Later arguments are checked before USER goes out, so a bad password
    // cannot leave the login half done.
    char check[FTP_LINE_MAX];
    if ((password != nullptr &&
         ftp_internal::format_command(check, "PASS", password, false, err) != FTP_OK) ||
        (account != nullptr &&
         ftp_internal::format_command(check, "ACCT", account, false, err) != FTP_OK))
        return FTP_ERR;
    int code = 0;
    int rc = simple_command(s, "USER", user, false, user_accepted, user_refused, &code, info, err);
    if (rc != FTP_OK || code == 230)
        return rc;
    if (code == 331) {
        rc = simple_command(s, "PASS", password, false, pass_accepted, pass_refused, &code, info,
                            err);
        if (rc != FTP_OK || code == 230)
            return rc;
    }
    // 332 from USER or PASS: the server wants an account.
    if (account == nullptr) {
        ftp_append_text(err, "server asks for an account, none given\n");
        return code;
    }
    return simple_command(s, "ACCT", account, false, acct_accepted, acct_refused, nullptr, info,
                          err);
}

int ftp_type(FtpSession *s, int type, char **info, char **err) {
    static constexpr const char *letters[] = {"A", "I", "E"};
    if (type < FTP_TYPE_ASCII || type > FTP_TYPE_EBCDIC)
        return FTP_ERR;
    return simple_command(s, "TYPE", letters[type], false, type_accepted, type_refused, nullptr,
                          info, err);
}

int ftp_cd(FtpSession *s, int up, const char *path, char **info, char **err) {
    if (up)
        return simple_command(s, "CDUP", nullptr, true, cd_accepted, dir_refused, nullptr, info,
                              err);
    return simple_command(s, "CWD", path, false, cd_accepted, dir_refused, nullptr, info, err);
}

int ftp_rmdir(FtpSession *s, const char *path, char **info, char **err) {
    return simple_command(s, "RMD", path, false, rmd_accepted, dir_refused, nullptr, info, err);
}

char *ftp_parse_dir_name(const char *line) {
    if (line == nullptr || strlen(line) < 6)
        return nullptr;
    const char *name = line + 5;
    const char *quote = strchr(name, '"');
    if (quote == nullptr)
        return nullptr;
    return strndup(name, static_cast<size_t>(quote - name));
}

char *ftp_mkd_pwd(FtpSession *s, int make, const char *path, char **info, char **err) {
    char line[FTP_LINE_MAX];
    int rc = make ? ftp_internal::format_command(line, "MKD", path, false, err)
                  : ftp_internal::format_command(line, "PWD", nullptr, true, err);
    if (rc != FTP_OK)
        return nullptr;
    int code = 0;
    char *reply = nullptr;
    rc = ftp_command(s, line, mkd_accepted, dir_refused, &code, &reply, info, err);
    char *name = rc == FTP_OK ? ftp_parse_dir_name(reply) : nullptr;
    free(reply);
    return name;
}

int ftp_delete(FtpSession *s, const char *path, char **info, char **err) {
    return simple_command(s, "DELE", path, false, dele_accepted, dele_refused, nullptr, info, err);
}

int ftp_rename(FtpSession *s, const char *old_name, const char *new_name, char **info, char **err) {
    // Both lines are checked first so that a bad new name sends no RNFR.
    char check[FTP_LINE_MAX];
    if (ftp_internal::format_command(check, "RNTO", new_name, false, err) != FTP_OK)
        return FTP_ERR;
    int rc =
        simple_command(s, "RNFR", old_name, false, rnfr_accepted, rnfr_refused, nullptr, info, err);
    if (rc != FTP_OK)
        return rc;
    return simple_command(s, "RNTO", new_name, false, rnto_accepted, rnto_refused, nullptr, info,
                          err);
}

void ftp_set_passive(FtpSession *s, int on) {
    s->passive = on ? 1 : 0;
}
