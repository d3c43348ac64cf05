// A TFTP daemon of another project, run beside the data unit's server as a
// baseline in the same run: started in the foreground on a free port of
// 127.0.0.1, ended when destroyed. Ready() waits until it answers a request.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

// A UDP port of 127.0.0.1 that was free a moment ago.
inline uint16_t FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

class PeerDaemon {
 public:
  // argv[0] is the program's path; its output goes to /dev/null.
  PeerDaemon(const std::vector<std::string>& argv, uint16_t port) : port_(port) {
    if (::access(argv[0].c_str(), X_OK) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      ::freopen("/dev/null", "w", stdout);
      ::freopen("/dev/null", "w", stderr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~PeerDaemon() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  PeerDaemon(const PeerDaemon&) = delete;
  PeerDaemon& operator=(const PeerDaemon&) = delete;

  // True once a read request for a missing file gets any answer (5 s at most).
  bool Ready() const {
    if (pid_ <= 0) return false;
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port_);
    static const char request[] = "\0\1log/no-such-file\0octet";
    bool answered = false;
    for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
      ::sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      pollfd ready{fd, POLLIN, 0};
      answered = ::poll(&ready, 1, 100) == 1;
    }
    ::close(fd);
    return answered;
  }

 private:
  uint16_t port_;
  pid_t pid_ = -1;
};
