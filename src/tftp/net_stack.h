// The socket stack object: opens sockets, turns failed socket calls into
// exceptions with the fixed error texts, resolves host names and waits on
// sockets. One object (SharedStack) serves the whole process while any
// TNetComponent lives. Thread safe: it keeps no state of its own.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

class TNetStack {
 public:
  static constexpr int kSelectSetLimit = 64;
  static constexpr int kWaitWithoutLimit = -2;

  // A new IPv4 datagram socket; raises ENetInvalidSocket.
  int CreateSocket();

  // false for a result other than -1; for -1, true when the thread's last
  // socket error is one of tolerated, otherwise raises ENetSocketError.
  bool CheckResult(long result, std::initializer_list<int> tolerated = {});

  // "Socket Error # <code>\r\n<text>", the text empty for unknown codes.
  static std::string SocketErrorMessage(int code);
  static std::string SocketErrorText(int code);

  // "localhost" in any case gives "127.0.0.1", a dotted quad is returned
  // unchanged, any other name is looked up; raises ENetSocketError.
  std::string LookupHost(const std::string& host);
  static bool IsDottedQuad(const std::string& text);

  // Waits until a socket of readList is readable or timeoutMs passes (-2: no
  // limit); keeps only the ready sockets in readList and returns their count
  // (0 on time-out or failed wait). More than 64 sockets: ENetStackSetSizeExceeded.
  int Select(std::vector<int>& readList, int timeoutMs);

  // Dotted text (a dotted quad) to an address in host byte order, and back.
  static uint32_t AddressFromText(const std::string& dotted);
  static std::string AddressText(uint32_t address);
};

// The process-wide stack; valid only while some TNetComponent lives.
TNetStack& SharedStack();

// Base of every socket component: keeps SharedStack alive while it lives.
// Construction and destruction are thread safe.
class TNetComponent {
 public:
  TNetComponent();
  virtual ~TNetComponent();
  TNetComponent(const TNetComponent&) = delete;
  TNetComponent& operator=(const TNetComponent&) = delete;

  // The number of live components (for checks that everything was freed).
  static int LiveComponentCount();
};
