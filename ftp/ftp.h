#pragma once
// Client side of FTP over IPv4: control connection, control commands, data
// connections and transfers, each blocking step under a time limit.
//
// Results: 0 success, 100..599 the server's reply code when a command was not
// accepted, negative codes below for local failures.
//
// Text out-parameters `info` and `err` point at caller-owned heap strings
// (start with nullptr); the library only appends to them, the caller frees them.
// A null `info` or `err` collects nothing. `info` is the control transcript
// (every line sent, PASS included, and every reply line received); `err`
// collects the library's messages, system error messages and refused replies.
//
// Replies: a reply whose first line has "-" after the code goes on up to the
// first line that begins with the same code and a blank; the greeting too.
//
// Time limits: each blocking step (connect, a whole reply, the wait for a data
// connection, each listing line, each 4096-byte download chunk, each upload
// write) ends after `timeout` seconds. Every wait is a poll for the time left,
// so no limit depends on a signal; a signal that interrupts a wait (EINTR)
// ends the step as its limit would, so a caller's stop request is not waited
// out. Threads: one thread at a time may run these functions; the limits
// belong to the calling thread, which may block SIGALRM.

#include <cstdint>
#include <cstdio>

// Result codes of the whole library.
constexpr int FTP_OK = 0;
// Host not resolved, control connection closed, reply not accepted or
// unreadable, PASV reply not interpretable, bad argument, PORT address unknown.
constexpr int FTP_ERR = -1;
constexpr int FTP_ERR_SOCKET = -2;       // socket() failed (control or data)
constexpr int FTP_ERR_CONNECT = -3;      // connect() failed, not by the time limit
constexpr int FTP_ERR_STREAM = -4;       // no stdio stream on a socket
constexpr int FTP_ERR_DUP = -5;          // dup() of a socket failed
constexpr int FTP_ERR_BIND = -6;         // bind() of the active data socket failed
constexpr int FTP_ERR_LISTEN = -7;       // listen() on the active data socket failed
constexpr int FTP_ERR_ACCEPT = -8;       // accept() failed, not by the time limit
constexpr int FTP_ERR_DATA = -9;         // PASV/PORT/transfer refused, or bad final reply
constexpr int FTP_ERR_SOCKNAME = -10;    // local address of the data socket unreadable
constexpr int FTP_ERR_LOCAL_FILE = -11;  // local file of a transfer not opened
constexpr int FTP_TIMEOUT_CONNECT = -12; // time limit while connecting
constexpr int FTP_TIMEOUT_ACCEPT = -13;  // time limit waiting for the server's data connection
constexpr int FTP_TIMEOUT_READ = -14;    // time limit reading a reply, listing or final reply
constexpr int FTP_TIMEOUT_SEND = -15;    // time limit during an upload
constexpr int FTP_ERR_DOWNLOAD = -16;    // short local write or read error during a download

// Representation types of ftp_type.
constexpr int FTP_TYPE_ASCII = 0;  // TYPE A
constexpr int FTP_TYPE_IMAGE = 1;  // TYPE I
constexpr int FTP_TYPE_EBCDIC = 2; // TYPE E

constexpr uint16_t FTP_DEFAULT_PORT = 21;
constexpr int FTP_DEFAULT_TIMEOUT = 20;
// Every command line is built in a buffer of this size, "\r\n" and NUL included.
constexpr int FTP_LINE_MAX = 1024;

// One control connection and its data connection. A null ctrl_out means the
// control connection is closed; a data connection is open while both data
// streams are non-null.
struct FtpSession {
    FILE *ctrl_in;  // replies are read from it
    FILE *ctrl_out; // commands are written to it (on ctrl_dup_fd)
    int ctrl_fd;
    int ctrl_dup_fd;
    FILE *data_in;  // read side of the data connection
    FILE *data_out; // write side (on data_dup_fd)
    int data_fd;
    int data_dup_fd;
    uint16_t port;            // server control port, host order, initially 21
    uint16_t local_data_port; // port announced by PORT, host order
    uint16_t pasv_port;       // port of the last PASV reply, host order, initially 20
    uint32_t pasv_addr;       // address of the last PASV reply, network order
    int passive;              // nonzero: PASV and connect; zero: PORT and accept
    int timeout;              // seconds for each guarded blocking step
    // Set by each transfer and ftp_open_data: nonzero once its data connection
    // was open (made, or a left-open one taken up with 125). Zero after a
    // failure means none could be had, so another mode may still succeed.
    int data_opened;
};

// Seconds copied into each new session; -1 (or any value below 1) means 20.
extern int ftp_default_timeout;

// Nonzero: ftp_get onto a block device hands the bytes to the device every
// few MiB as they arrive, so that the caller's fsync has little left to do
// (right for a disk). Zero, the default, leaves them in the device's cache
// until somebody syncs it (right for a RAM disk, whose cache is what its next
// reader wants). Read by ftp_get when it starts.
extern int ftp_device_writeback;

// A pipe's write end, or -1 (the default): ftp_get also puts every byte it
// writes onto the local file into this pipe, in the file's order, waiting
// while the pipe is full; bytes of an attempt that fails are in it too. Read
// by ftp_get when it starts.
extern int ftp_download_copy_fd;

using FtpSignalHandler = void (*)(int);

// --- session and control connection ---

// Opens the control connection to host:port (port 0 means 21) and reads the
// greeting. Returns the session, or nullptr with the reason in err.
FtpSession *ftp_connect(const char *host, uint16_t port, char **info, char **err);

// Closes a data connection left open, then sends QUIT. Returns 0 after a 221
// reply (streams closed, session freed); otherwise the reply code, 0 read as
// -1, or -1/-14, and the session stays the caller's. A null session gives -1.
int ftp_quit(FtpSession *s, char **info, char **err);

// Sends the complete command line (CRLF included) and reads the reply. Returns 0
// when the code is in `accepted` (zero-terminated), else -1. *code gets the reply
// code or -1/-14 when none was read; *reply_line a heap copy of its first line or
// nullptr. A 421 reply closes the control streams.
int ftp_command(FtpSession *s, const char *line, const int *accepted, const int *refused, int *code,
                char **reply_line, char **info, char **err);

// Reads one reply, multi-line replies included. Returns its code (0 when the
// first line carries no number), -1 when the connection closed or failed, -14 on
// the time limit (both close the control streams). *first_line gets a heap copy
// of the first line, or nullptr when none was read.
int ftp_read_reply(FtpSession *s, char **first_line, char **info, char **err);

// Returns a new session with the initial values, or nullptr without memory.
FtpSession *ftp_session_new();

// Resolves host and connects s->port under the time limit, then opens the two
// control streams. host is an IPv4 address in dotted form, a name from
// /etc/hosts or one the DNS servers of /etc/resolv.conf know. Returns 0; -1 host
// not resolved (*resolver_error = the resolver's error number, for hstrerror);
// -2 socket; -3 connect; -4 stream; -5 dup; -12 time limit.
int ftp_open_control(const char *host, FtpSession *s, int *resolver_error, int timeout);

// Appends piece to the heap string *text (does nothing when text is null).
void ftp_append_text(char **text, const char *piece);

// Installs handler for signum (empty mask, no SA_RESTART). Returns the previous
// handler, or SIG_ERR (-1) when sigaction fails.
FtpSignalHandler ftp_set_signal_handler(int signum, FtpSignalHandler handler);

// The SIGALRM handler ftp_open_control installs; it does nothing, so a stray
// alarm interrupts a wait instead of ending the process.
void ftp_alarm_handler(int signum);

// --- parsers over plain text ---

// Returns the number in the first three characters of a reply line, read like
// atoi (leading blanks skipped, stops at a non-digit); 0 when there is none.
int ftp_reply_code(const char *line);

// Scans a 227 line from its fifth character for the first digit/comma run with
// at least five commas. Returns 0 and fills *addr (network order) and *port when
// that run has exactly five; -1 otherwise.
int ftp_parse_pasv(const char *line, uint32_t *addr, uint16_t *port);

// Returns the size N of the last "(N bytes)" group (digits only) of a 125/150
// line, or -1 when there is none or N does not fit 63 bits.
int64_t ftp_announced_size(const char *line);

// Returns a heap copy of the directory name of a 257 line (from its sixth
// character up to the next double quote), or nullptr when there is none.
char *ftp_parse_dir_name(const char *line);

// --- control commands ---

// USER, then PASS on 331, then ACCT on 332. Returns 0 when logged in, else the
// failing code (530: login refused; 332 when an account is asked for but
// account is null), -1 or -14.
int ftp_login(FtpSession *s, const char *user, const char *password, const char *account,
              char **info, char **err);

// TYPE A/I/E for type 0/1/2. Returns 0 on 200, else the code; -1 for any other
// type, with nothing sent.
int ftp_type(FtpSession *s, int type, char **info, char **err);

// CDUP when up is nonzero (path ignored), else CWD path. Returns 0 on 200/250,
// else the code, -1 or -14.
int ftp_cd(FtpSession *s, int up, const char *path, char **info, char **err);

// RMD path. Returns 0 on 250, else the code, -1 or -14.
int ftp_rmdir(FtpSession *s, const char *path, char **info, char **err);

// MKD path when make is nonzero, else PWD. Returns a heap copy of the directory
// name of the 257 reply, or nullptr (refused, or no quoted name).
char *ftp_mkd_pwd(FtpSession *s, int make, const char *path, char **info, char **err);

// DELE path. Returns 0 on 250, else the code, -1 or -14.
int ftp_delete(FtpSession *s, const char *path, char **info, char **err);

// RNFR old_name, then RNTO new_name on 350. Returns 0 on 250, else the code of
// the failing step, -1 or -14.
int ftp_rename(FtpSession *s, const char *old_name, const char *new_name, char **info, char **err);

// Chooses passive (on nonzero) or active data connections; sends nothing.
void ftp_set_passive(FtpSession *s, int on);

// Argument and length checks of all the commands above and below: an argument
// holding CR or LF, a missing argument or a line over 1023 characters is refused
// with -1 (nullptr for ftp_mkd_pwd) before anything is sent.

// --- data connections and transfers ---

// Sends PASV and stores the announced address and port. Returns 0, or -1 when
// refused or not interpretable. The data connection itself always goes to the
// control connection's peer, at the announced port.
int ftp_pasv(FtpSession *s, char **info, char **err);

// Sends PORT for local_data_port at address (comma form, at most 19 characters)
// or, when null, at the control socket's local address. Returns 0; the reply
// code when refused; -1 when the local address is unreadable or address too long.
int ftp_port(FtpSession *s, const char *address, char **info, char **err);

// Opens the data connection for the transfer command line (CRLF included), or
// reuses one left open. Returns 0 or -2..-10, -12, -13. *code gets the transfer
// command's reply code when it was answered, else the negative result.
int ftp_open_data(FtpSession *s, const char *command, int *code, char **reply_line, char **info,
                  char **err);

// Closes the data streams and reads the final reply. Returns 0 on 226/250, else -9.
int ftp_close_data(FtpSession *s, char **info, char **err);

// LIST (NLST when names_only) of path, or of the current directory when path is
// null. *lines gets a heap array of heap lines (line ends kept), null-terminated,
// also on failure; the caller frees each line and the array. Returns 0, the
// refusing code, 125/150 when the data connection failed after the command, the
// opener's negative code, -9 (bad final reply) or -14 (time limit).
int ftp_list(FtpSession *s, const char *path, int names_only, char ***lines, char **info,
             char **err);

// RETR remote into local_path (created or truncated). *counter, when given, grows
// by each 4096-byte chunk written; it is advanced with relaxed atomic additions
// (std::atomic_ref), so another thread may read it with std::atomic_ref or
// __atomic_load_n. The time limit covers each chunk. Returns 0; -11 local file;
// the refusing code; 125/150; the opener's negative code; -9; -14; -16: short
// write, read error or time limit, a device that failed to take bytes handed
// to it (ftp_device_writeback), or a counter that would pass INT32_MAX ("download
// too large\n"), the data connection left open; also -16 when the local file
// fails to close, or when the bytes received differ from a size the 125/150
// reply announced ("download incomplete: size differs from the announced
// size\n"), the final reply read.
int ftp_get(FtpSession *s, const char *local_path, const char *remote_path, char **info, char **err,
            int32_t *counter);

// RETR remote into buf, at most cap bytes, for small files kept in memory.
// *len gets the bytes received; *whole is 1 when the file ended within cap,
// 0 when it went on (the data connection is then closed early, the final
// reply read and not judged). Returns 0; the refusing code; 125/150; the
// opener's negative code; -9 (bad final reply); -16 on a read error or the
// time limit, the data connection left open (ftp_fetch.cpp).
int ftp_fetch(FtpSession *s, const char *remote_path, char *buf, size_t cap, size_t *len,
              int *whole, char **info, char **err);

// STOR remote from local_path. Returns 0; -11 local file; the refusing code;
// 125/150; the opener's negative code; -9; -15 (time limit while sending or
// while awaiting the final reply).
int ftp_put(FtpSession *s, const char *local_path, const char *remote_path, char **info,
            char **err);
