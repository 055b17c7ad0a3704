#pragma once
// A scripted FTP server in a thread of the test: plays its script on one
// control connection and records every command line it receives, also after
// the script ends, so a command that should not have been sent shows.
// Steps: "220 hi" a reply, "\r\n" appended; "raw:<bytes>" as they are; "<" read a
// command line; "pasv" listen for a data connection, reply 227 with its address;
// "accept" it; "port" connect to the last PORT line's address; "data:<bytes>" send
// on it; "recv-data" read it to its end; "close-data"; "close" (control);
// "sleep:<ms>"; "stall" until stopped.
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// The steps of text, sep between them.
inline std::vector<std::string> ftp_script(const std::string &text, char sep = '|') {
    std::vector<std::string> steps;
    std::istringstream in(text);
    for (std::string step; std::getline(in, step, sep);)
        if (!step.empty())
            steps.push_back(step);
    return steps;
}

class FtpPeer {
  public:
    // Listens on listen_fd (taken over) or on an ephemeral 127.0.0.1 port;
    // netns_pid > 0: data connections in that process's network namespace.
    explicit FtpPeer(std::vector<std::string> script, int listen_fd = -1, int netns_pid = 0);
    ~FtpPeer();
    uint16_t port() const;
    // Stops the peer and returns the command lines it received.
    std::string transcript();
    std::string received(); // bytes read by "recv-data"

  private:
    void run();
    bool step(const std::string &s);
    bool wait(int fd, short events, int ms = -1);
    bool send_all(int fd, const std::string &bytes);
    bool read_line(std::string *line);
    std::vector<std::string> script_;
    int listen_ = -1, ctrl_ = -1, pasv_ = -1, data_ = -1, stop_[2] = {-1, -1}, netns_pid_;
    std::string pending_, transcript_, received_;
    std::thread thread_;
};
