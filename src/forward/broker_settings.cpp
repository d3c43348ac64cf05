#include "forward/broker_settings.h"

#include <unistd.h>

#include <charconv>
#include <fstream>

namespace {

bool Readable(const std::string& path) {
  std::ifstream file(path);
  return file.good();
}

}  // namespace

std::string BrokerSettings::ReadUrl(std::string_view value) {
  const std::string wrong =
      "--mqtt wants mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not '" + std::string(value) + "'";
  url = value;
  std::string_view rest = value;
  if (rest.starts_with("mqtts://")) {
    tls = true;
    port = kTlsPort;
    rest.remove_prefix(8);
  } else if (rest.starts_with("mqtt://")) {
    rest.remove_prefix(7);
  } else {
    return wrong;
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  const std::size_t colon = rest.rfind(':');
  const bool bracketed = !rest.empty() && rest.front() == '[';
  if (colon != std::string_view::npos && (!bracketed || rest[colon - 1] == ']')) {
    std::string_view digits = rest.substr(colon + 1);
    auto [end, failed] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || failed != std::errc() || end != digits.data() + digits.size() ||
        port < 1 || port > 65535)
      return wrong;
    rest = rest.substr(0, colon);
  }
  if (bracketed && rest.size() > 2 && rest.back() == ']') rest = rest.substr(1, rest.size() - 2);
  if (rest.empty() || rest.find_first_of("/@?# ") != std::string_view::npos) return wrong;
  host = rest;
  return "";
}

std::string BrokerSettings::ReadCaFile(std::string_view value) {
  caFile = value;
  if (!Readable(caFile)) return "--mqtt-ca " + caFile + ": the file cannot be read";
  return "";
}

std::string BrokerSettings::ReadCredentials(std::string_view path) {
  std::ifstream file{std::string(path)};
  if (!file.good()) return "--mqtt-credentials " + std::string(path) + ": the file cannot be read";
  std::getline(file, user);
  std::getline(file, password);
  if (!user.empty() && user.back() == '\r') user.pop_back();
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (user.empty())
    return "--mqtt-credentials " + std::string(path) +
           ": the first line must be the user name, the second the password";
  return "";
}

std::string BrokerSettings::ReadTopicPrefix(std::string_view value) {
  topicPrefix = value;
  if (value.empty() || value.front() == '/' || value.back() == '/' ||
      value.find_first_of(std::string_view("+#\0", 3)) != std::string_view::npos)
    return "--mqtt-topic '" + std::string(value) +
           "' must be a topic without wildcards (+ #) and without a leading or trailing /";
  return "";
}

std::string BrokerSettings::Complete() {
  if (host.empty()) {
    if (!caFile.empty() || !user.empty() || !topicPrefix.empty())
      return "--mqtt-ca, --mqtt-credentials and --mqtt-topic need --mqtt URL";
    return "";
  }
  if (!caFile.empty() && !tls) return "--mqtt-ca needs an mqtts:// broker";
  if (topicPrefix.empty()) {
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    std::string level;
    for (char c : std::string(name)) level.push_back(c == '/' || c == '+' || c == '#' ? '_' : c);
    topicPrefix = "datacontroller/" + (level.empty() ? std::string("localhost") : level);
  }
  return "";
}
