// Where the broker forwarder sends and as whom: read from the operator's
// options --mqtt URL (mqtt://HOST[:PORT], mqtts://HOST[:PORT]), --mqtt-ca
// FILE, --mqtt-credentials FILE (the user on its first line, the password on
// its second) and --mqtt-topic PREFIX. Each reader returns the problem in
// one line, or "" when the value is good. A value type.
#pragma once

#include <string>
#include <string_view>

struct BrokerSettings {
  static constexpr int kPlainPort = 1883;
  static constexpr int kTlsPort = 8883;

  std::string url;  // as the operator wrote it, for the journal
  std::string host;
  int port = kPlainPort;
  bool tls = false;
  std::string caFile;  // empty: the system's CA store (with tls)
  std::string user;    // empty: no login
  std::string password;
  std::string topicPrefix;  // empty until set: datacontroller/<host name>

  std::string ReadUrl(std::string_view value);
  std::string ReadCaFile(std::string_view value);
  std::string ReadCredentials(std::string_view path);
  std::string ReadTopicPrefix(std::string_view value);
  // What the options leave unsaid: the prefix from the host name; a problem
  // when options other than --mqtt are given without it.
  std::string Complete();
};
