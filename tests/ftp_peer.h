#pragma once
// A scripted FTP server in a thread of the test: plays its script on one
// control connection and records every command line it receives, also after
// the script ends, so a command that should not have been sent shows.
//
// Script steps:
//   "220 hi"       reply; "\r\n" is appended ("220-a\r\n220 b" for two lines)
//   "raw:<bytes>"  bytes as they are
//   "<"            read one command line
//   "pasv"         listen for a data connection and reply 227 with its address
//   "accept"       accept that data connection
//   "port"         connect to the address of the last PORT line
//   "data:<bytes>" send on the data connection
//   "recv-data"    read the data connection to its end
//   "close-data"   close the data connection
//   "close"        close the control connection
//   "sleep:<ms>"   pause
//   "stall"        do nothing more until stopped
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
    bool wait(int fd, short events);
    bool send_all(int fd, const std::string &bytes);
    bool read_line(std::string *line);
    std::vector<std::string> script_;
    int listen_ = -1, ctrl_ = -1, pasv_ = -1, data_ = -1, stop_[2] = {-1, -1};
    int netns_pid_;
    std::string pending_, transcript_, received_;
    std::thread thread_;
};
