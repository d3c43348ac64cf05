// A start directory for one window under test (removed afterwards), and the
// free ports its servers use.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "app/form_data_controller.h"

// A UDP port that nobody used a moment ago (file transfer needs a real port).
inline int FreeUdpPort() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

class TemporaryTree {
 public:
  // withLogDir: the log directory that start-up needs.
  explicit TemporaryTree(bool withLogDir = true) {
    char pattern[] = "/tmp/dc-window-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    if (withLogDir) std::filesystem::create_directory(dir_ + "/log");
  }
  ~TemporaryTree() { std::filesystem::remove_all(dir_); }
  TemporaryTree(const TemporaryTree&) = delete;
  TemporaryTree& operator=(const TemporaryTree&) = delete;

  const std::string& Dir() const { return dir_; }
  // The unit link on a free TCP port (0), file transfer on a free UDP port.
  // No web view.
  StartUpSettings Settings() const {
    StartUpSettings settings;
    settings.startDirectory = dir_;
    settings.unitLinkPort = 0;
    settings.fileTransferPort = FreeUdpPort();
    return settings;
  }

 private:
  std::string dir_;
};
