#pragma once
// Helpers shared by the FTP client tests: owners for the peer, the session and
// the heap texts, and a fixture that shortens the time limit.

#include "ftp.h"
#include "ftp_peer.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

// Heap text out-parameter, freed at the end of the test.
struct Text {
    char *s = nullptr;
    Text() = default;
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
    ~Text() {
        free(s);
    }
    std::string str() const {
        return s != nullptr ? s : "";
    }
};

// Releases a session without QUIT (the peer may be gone): a plain record.
inline void release_session(FtpSession *s) {
    if (s == nullptr)
        return;
    for (FILE *f : {s->ctrl_in, s->ctrl_out, s->data_in, s->data_out})
        if (f != nullptr)
            fclose(f);
    free(s);
}

class FtpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_timeout_ = ftp_default_timeout;
        ftp_default_timeout = 1;
    }
    void TearDown() override {
        release_session(session);
        ftp_peer_free(peer);
        ftp_default_timeout = saved_timeout_;
    }
    // Starts the peer with the script and connects a session to it; a
    // session, peer and texts of an earlier case are let go first.
    FtpSession *start(const std::vector<FtpPeerStep> &script) {
        release_session(session);
        session = nullptr;
        ftp_peer_free(peer);
        free(info.s);
        info.s = nullptr;
        free(err.s);
        err.s = nullptr;
        steps_ = script;
        peer = ftp_peer_start(steps_.data(), steps_.size(), -1);
        if (peer == nullptr)
            return nullptr;
        session = ftp_connect("127.0.0.1", ftp_peer_port(peer), &info.s, &err.s);
        return session;
    }
    // Forgets the texts collected so far (the greeting, for instance).
    void clear_texts() {
        free(info.s);
        info.s = nullptr;
        free(err.s);
        err.s = nullptr;
    }
    // Stops the peer and returns every command line it received.
    std::string transcript() {
        ftp_peer_stop(peer);
        return ftp_peer_transcript(peer);
    }
    // ftp_quit succeeded: the session is gone.
    void forget_session() {
        session = nullptr;
    }

    FtpPeer *peer = nullptr;
    FtpSession *session = nullptr;
    Text info;
    Text err;

  private:
    int saved_timeout_ = 0;
    std::vector<FtpPeerStep> steps_;
};

inline const char *const greeting = "220 test server ready\r\n";
