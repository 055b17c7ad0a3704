#pragma once
// Scripted FTP server for tests: plays a fixed list of steps on one control
// connection (and its data connections) in a thread of the test process, and
// records every command line it received.
//
//   FtpPeerStep script[] = {
//       ftp_step_send("220 ready\r\n"),
//       ftp_step_recv(), ftp_step_send("331 password\r\n"),
//       ftp_step_recv(), ftp_step_send("230 ok\r\n"),
//   };
//   FtpPeer *peer = ftp_peer_start(script, std::size(script), -1);
//   ... connect to 127.0.0.1:ftp_peer_port(peer) ...
//   ftp_peer_stop(peer);
//   EXPECT_EQ(ftp_peer_transcript(peer), "USER u\r\nPASS p\r\n");
//   ftp_peer_free(peer);
//
// After the last step the peer goes on recording command lines, unanswered,
// until the client closes the control connection or the test stops the peer;
// so a command sent that should not have been shows in the transcript.
// Every wait of the peer ends when the test calls ftp_peer_stop.

#include <cstddef>
#include <cstdint>
#include <string>

enum FtpPeerAction : int {
    FTP_PEER_SEND,       // write `text` (`len` bytes, 0: up to its NUL) on the control connection
    FTP_PEER_RECV,       // read one command line into the transcript; at EOF the script ends
    FTP_PEER_CLOSE,      // close the control connection; ends the script
    FTP_PEER_STALL,      // answer nothing more until stopped (reads nothing either)
    FTP_PEER_SLEEP,      // pause `ms` milliseconds
    FTP_PEER_PASV,       // listen for a data connection on 127.0.0.1 and send `text` with its
                         // "{}" replaced by "h1,h2,h3,h4,p1,p2"; the address part is `arg`
                         // ("10,0,0,9" to name another host) or, when null, 127,0,0,1
    FTP_PEER_PASV_FULL,  // like FTP_PEER_PASV, but the listener's queue is kept full so a
                         // client's connect to it hangs
    FTP_PEER_ACCEPT,     // accept the data connection on the PASV listener
    FTP_PEER_CONNECT,    // connect to the address and port of the last PORT line received,
                         // from local address `arg` (null: 127.0.0.1); notes
                         // "connected from <arg>\n" or "connect failed\n"
    FTP_PEER_DATA_SEND,  // write `text` (`len` bytes, 0: up to its NUL) on the data connection
    FTP_PEER_DATA_RECV,  // read the data connection to its end into the received data
    FTP_PEER_DATA_CLOSE, // close the data connection
    FTP_PEER_EXPECT_DATA_CLOSED, // wait up to `ms` for the client to close the data
                                 // connection; notes "data closed\n" or "data open\n"
};

struct FtpPeerStep {
    int action;       // FtpPeerAction
    const char *text; // bytes to send, or the 227 reply template (copied at start)
    size_t len;       // length of text; 0 means strlen(text)
    const char *arg;  // address, see the actions (copied at start)
    int ms;           // milliseconds, see the actions
};

struct FtpPeer;

inline FtpPeerStep ftp_step(int action, const char *text = nullptr, const char *arg = nullptr,
                            int ms = 0, size_t len = 0) {
    return FtpPeerStep{action, text, len, arg, ms};
}
inline FtpPeerStep ftp_step_send(const char *text) {
    return ftp_step(FTP_PEER_SEND, text);
}
inline FtpPeerStep ftp_step_recv() {
    return ftp_step(FTP_PEER_RECV);
}
inline FtpPeerStep ftp_step_data_send(const char *data, size_t len = 0) {
    return ftp_step(FTP_PEER_DATA_SEND, data, nullptr, 0, len);
}

// Starts the peer on listen_fd (a listening TCP socket that stays the
// caller's), or on a new listener of its own at 127.0.0.1 with an ephemeral port
// when listen_fd is -1. The steps are copied. Returns nullptr when the
// listener cannot be made or the thread not started.
FtpPeer *ftp_peer_start(const FtpPeerStep *steps, size_t count, int listen_fd);

// Returns the port the peer listens on for the control connection.
uint16_t ftp_peer_port(const FtpPeer *peer);

// Waits up to ms for the peer to finish: script done and control connection
// closed by either side. Returns true when it finished.
bool ftp_peer_wait(FtpPeer *peer, int ms);

// Stops the peer (whatever step it is at), records what the client had sent but
// the peer had not yet read, and joins its thread. May be called more than once.
void ftp_peer_stop(FtpPeer *peer);

// Command lines received, exactly as sent (line ends included).
std::string ftp_peer_transcript(FtpPeer *peer);

// Bytes received by FTP_PEER_DATA_RECV steps.
std::string ftp_peer_received(FtpPeer *peer);

// Notes of the data steps (FTP_PEER_CONNECT, FTP_PEER_EXPECT_DATA_CLOSED).
std::string ftp_peer_notes(FtpPeer *peer);

// Stops the peer if needed and releases it with all its sockets.
void ftp_peer_free(FtpPeer *peer);
