#include "app/local_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace {

// Only the strict forms: a dotted quad, or IPv6 with an optional "%scope".
std::optional<sockaddr_storage> ParseLiteral(const std::string& literal) {
  sockaddr_storage address{};
  auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
  if (::inet_pton(AF_INET, literal.c_str(), &ipv4.sin_addr) == 1) {
    ipv4.sin_family = AF_INET;
    return address;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  if (literal.find(':') == std::string::npos ||
      ::getaddrinfo(literal.c_str(), nullptr, &hints, &found) != 0)
    return std::nullopt;
  std::memcpy(&address, found->ai_addr, found->ai_addrlen);
  ::freeaddrinfo(found);
  return address;
}

bool SameIpv4(const sockaddr* a, const sockaddr_in& b) {
  return a != nullptr && a->sa_family == AF_INET &&
         reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr == b.sin_addr.s_addr;
}

// The interface whose subnet broadcast address this is, or "".
std::string BroadcastInterface(const sockaddr_in& address) {
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return "";
  std::string name;
  for (ifaddrs* each = interfaces; each != nullptr && name.empty(); each = each->ifa_next) {
    if ((each->ifa_flags & IFF_BROADCAST) != 0 && SameIpv4(each->ifa_broadaddr, address))
      name = each->ifa_name;
  }
  ::freeifaddrs(interfaces);
  return name;
}

// A broadcast or multicast address passes the kernel's bind, yet no peer can
// connect to it.
std::string GroupProblem(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6) {
    const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
    return IN6_IS_ADDR_MULTICAST(&ipv6.sin6_addr) ? "is a multicast address" : "";
  }
  const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
  const uint32_t host = ntohl(ipv4.sin_addr.s_addr);
  if (IN_MULTICAST(host)) return "is a multicast address";
  if (host == INADDR_BROADCAST) return "is the broadcast address";
  const std::string interface = BroadcastInterface(ipv4);
  return interface.empty() ? "" : "is the broadcast address of " + interface;
}

bool Unspecified(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET6)
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
  return reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr == INADDR_ANY;
}

// The system's own answer, as the servers will get it: a moment's socket on
// a port the system picks, closed at once.
int BindError(const sockaddr_storage& address) {
  const int fd = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  const socklen_t size = address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  const int error = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

}  // namespace

std::string ListenAddressProblem(std::string_view literal, bool missingIsFine) {
  const std::optional<sockaddr_storage> address = ParseLiteral(std::string(literal));
  if (!address) return "is not an IP address";
  if (Unspecified(*address)) return "";
  if (std::string group = GroupProblem(*address); !group.empty()) return group;
  const int error = BindError(*address);
  if (error == 0 || (error == EADDRNOTAVAIL && missingIsFine)) return "";
  if (error == EADDRNOTAVAIL) return "is no address of an interface of this machine";
  return std::string("cannot be listened on: ") + std::strerror(error);
}
