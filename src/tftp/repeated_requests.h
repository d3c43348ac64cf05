// Requests that a client repeats because its timer ran out before the first
// answer reached it (a lost ACK 0, OACK or DATA 1): the session that the
// request started answers again, from its own port, instead of the repeat
// being refused (a store's file is held by its session) or starting a second
// session. A request is a repeat when it comes from the same address and
// port, with the same opcode and file name, while that session has heard
// nothing from its peer yet; a session answers at most `sends` repeats.
// Thread safe: the listener looks repeats up, each session arms and closes
// its own entry.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

class UdpSocket;

class RepeatedRequests {
 public:
  // One session's first answer, while it may be sent again.
  class Entry {
   public:
    // The first packet went out from socket to peer: repeats get it again.
    void Arm(UdpSocket* socket, const sockaddr_in& peer, std::string packet, int sends);
    // The peer answered or the session ends: later requests are new ones.
    // Called before the socket is closed.
    void Close();

   private:
    friend class RepeatedRequests;
    // false once closed.
    bool AnswerAgain();

    std::mutex mutex_;
    UdpSocket* socket_ = nullptr;  // guarded by mutex_; null until armed
    sockaddr_in peer_{};
    std::string packet_;
    int sendsLeft_ = 0;
    bool closed_ = false;
  };

  // The entry of a session started for this request; the session keeps it.
  std::shared_ptr<Entry> Open(const sockaddr_in& peer, uint16_t opcode,
                              const std::string& fileName);
  // True when the request repeats one whose session has not heard from its
  // peer yet: the session's first packet went out again (unless its repeats
  // are used up, or it has not sent it yet), and the request needs nothing more.
  bool AnswerRepeat(const sockaddr_in& peer, uint16_t opcode, const std::string& fileName);

 private:
  using Key = std::tuple<uint32_t, uint16_t, uint16_t, std::string>;
  static Key KeyOf(const sockaddr_in& peer, uint16_t opcode, const std::string& fileName);

  std::mutex mutex_;
  std::map<Key, std::weak_ptr<Entry>> entries_;  // guarded by mutex_
};
