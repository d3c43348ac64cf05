#include "tftp/net_stack.h"

#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "tftp/net_exceptions.h"
#include "tftp/udp_socket_ops.h"

namespace {

std::mutex stackMutex;
std::unique_ptr<TNetStack> sharedStack;  // guarded by stackMutex
int liveComponents = 0;                  // guarded by stackMutex

const std::map<int, const char*>& ErrorTexts() {
  static const std::map<int, const char*> texts = {
      {10004, "Interrupted system call."}, {10009, "Bad file number."},
      {10013, "Access denied."}, {10014, "Bad address."}, {10022, "Invalid argument."},
      {10024, "Too many open files."}, {10035, "Operation would block. "},
      {10036, "Operation now in progress."}, {10037, "Operation already in progress."},
      {10038, "Socket operation on non-socket."}, {10039, "Destination address required."},
      {10040, "Message too long."}, {10041, "Protocol wrong type for socket."},
      {10042, "Bad protocol option."}, {10043, "Protocol not supported."},
      {10044, "Socket type not supported."}, {10045, "Operation not supported on socket."},
      {10046, "Protocol family not supported."},
      {10047, "Address family not supported by protocol family."},
      {10048, "Address already in use."}, {10049, "Cannot assign requested address."},
      {10050, "Network is down."}, {10051, "Network is unreachable."},
      {10052, "Net dropped connection or reset."}, {10053, "Software caused connection abort."},
      {10054, "Connection reset by peer."}, {10055, "No buffer space available."},
      {10056, "Socket is already connected."}, {10057, "Socket is not connected."},
      {10058, "Cannot send or receive after socket is closed."},
      {10059, "Too many references, cannot splice."}, {10060, "Connection timed out."},
      {10061, "Connection refused."}, {10062, "Too many levels of symbolic links."},
      {10063, "File name too long."}, {10064, "Host is down."}, {10065, "No route to host."},
      {10066, "Directory not empty"}};
  return texts;
}

// A whole decimal number from 0 to 255, as IsDottedQuad accepts a part.
bool ReadOctet(const std::string& part, int& value) {
  try {
    value = StrToInt(part);
  } catch (const EConvertError&) {
    return false;
  }
  return value >= 0 && value <= 255;
}

// The text cut at its first three dots.
std::vector<std::string> CutAtThreeDots(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    size_t dot = text.find('.', start);
    if (dot == std::string::npos) break;
    parts.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

}  // namespace

ENetSocketError::ENetSocketError(int code)
    : ENetException(TNetStack::SocketErrorMessage(code)), code_(code) {}

int TNetStack::CreateSocket() {
  int fd = udp_ops::OpenDatagramSocket();
  if (fd < 0) throw ENetInvalidSocket();
  return fd;
}

bool TNetStack::CheckResult(long result, std::initializer_list<int> tolerated) {
  if (result != -1) return false;
  int code = udp_ops::LastSocketError();
  for (int each : tolerated) {
    if (each == code) return true;
  }
  throw ENetSocketError(code);
}

std::string TNetStack::SocketErrorText(int code) {
  auto it = ErrorTexts().find(code);
  return it != ErrorTexts().end() ? it->second : "";
}

std::string TNetStack::SocketErrorMessage(int code) {
  return "Socket Error # " + std::to_string(code) + "\r\n" + SocketErrorText(code);
}

std::string TNetStack::LookupHost(const std::string& host) {
  std::string upper = host;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "LOCALHOST") return "127.0.0.1";
  if (IsDottedQuad(host)) return host;
  uint32_t address = 0;
  CheckResult(udp_ops::LookupIPv4(host, address));
  return AddressText(address);
}

bool TNetStack::IsDottedQuad(const std::string& text) {
  std::vector<std::string> parts = CutAtThreeDots(text);
  if (parts.size() != 4) return false;
  int value = 0;
  for (const std::string& part : parts) {
    if (!ReadOctet(part, value)) return false;
  }
  return true;
}

int TNetStack::Select(std::vector<int>& readList, int timeoutMs) {
  if (readList.size() > kSelectSetLimit) throw ENetStackSetSizeExceeded();
  std::vector<bool> ready;
  int count = udp_ops::WaitReadable(readList, ready, timeoutMs == kWaitWithoutLimit ? -1 : timeoutMs);
  if (count <= 0) {
    readList.clear();
    return 0;
  }
  std::vector<int> readyOnly;
  for (size_t i = 0; i < readList.size(); ++i) {
    if (ready[i]) readyOnly.push_back(readList[i]);
  }
  readList.swap(readyOnly);
  return count;
}

uint32_t TNetStack::AddressFromText(const std::string& dotted) {
  uint32_t address = 0;
  int value = 0;
  for (const std::string& part : CutAtThreeDots(dotted)) {
    value = ReadOctet(part, value) ? value : 0;
    address = (address << 8) | static_cast<uint32_t>(value);
  }
  return address;
}

std::string TNetStack::AddressText(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

TNetStack& SharedStack() {
  std::lock_guard<std::mutex> lock(stackMutex);
  return *sharedStack;
}

TNetComponent::TNetComponent() {
  std::lock_guard<std::mutex> lock(stackMutex);
  if (!sharedStack) sharedStack = std::make_unique<TNetStack>();
  ++liveComponents;
}

TNetComponent::~TNetComponent() {
  std::lock_guard<std::mutex> lock(stackMutex);
  if (--liveComponents == 0) sharedStack.reset();
}

int TNetComponent::LiveComponentCount() {
  std::lock_guard<std::mutex> lock(stackMutex);
  return liveComponents;
}
