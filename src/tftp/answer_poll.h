// How a session waits for a quick peer: it asks its socket again and again
// for a short while before it sleeps in it. Waking a sleeping thread can take
// longer than a peer on the same host or link takes to answer a whole window
// (tens of microseconds on a virtual machine), and lock step pays it on every
// packet. A session polls only while one of its peer's last two answers came
// within kMaxPoll, for at most twice that answer's time, and only holding one
// of the process's polling slots (one per core but one, so a single-core
// machine never polls). One per session, used by its thread; the slots are
// shared by all sessions.
#pragma once

#include <chrono>
#include <cstddef>

#include "tftp/udp_socket.h"

class AnswerPoll {
 public:
  using Duration = std::chrono::steady_clock::duration;
  static constexpr std::chrono::microseconds kMaxPoll{250};

  // The peer answered delay after the packet it answered went out.
  void Heard(Duration delay);
  // A datagram that waited or came within the poll; kNothing when none came,
  // when the peer is slow or when no slot was free.
  Received Poll(UdpSocket& socket, char* buffer, size_t capacity);

  // Slots taken now, for tests.
  static int SlotsTaken();

 private:
  Duration Limit() const;

  static constexpr Duration kUnknown = Duration::max();
  Duration lastAnswer_ = kUnknown;
  Duration answerBefore_ = kUnknown;
};
