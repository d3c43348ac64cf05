// One connection to the broker through libmosquitto, driven by its owner's
// thread (no thread of the library's own): connects without waiting, sets
// the retained "offline" will on PREFIX/status, publishes with QoS 1 and
// collects the acknowledged message ids. A lost connection is not resumed:
// the owner makes a new session and publishes again from its positions, so
// nothing waits in the library's queue across a loss. Not thread safe.
#pragma once

#include <string>
#include <vector>

#include "forward/broker_settings.h"

struct mosquitto;

class BrokerSession {
 public:
  // Starts connecting; raises EForwardError when the library refuses the settings.
  explicit BrokerSession(const BrokerSettings& settings);
  ~BrokerSession();
  BrokerSession(const BrokerSession&) = delete;
  BrokerSession& operator=(const BrokerSession&) = delete;

  // Moves the connection on for at most timeoutMs; false once it is lost
  // (Failure() says why).
  bool Step(int timeoutMs);
  // True once the broker accepted the connection.
  bool Connected() const { return connected_; }
  const std::string& Failure() const { return failure_; }
  // The message id, or -1 when the connection cannot take it now.
  int Publish(const std::string& topic, const std::string& payload, bool retain);
  // The ids acknowledged since the last call.
  std::vector<int> TakeAcknowledged();
  // Publishes the retained "offline", waits up to timeoutMs for it and disconnects.
  void Close(const std::string& statusTopic, int timeoutMs);

  static constexpr int kKeepAliveSeconds = 30;

 private:
  static void OnConnect(mosquitto*, void* self, int result);
  static void OnDisconnect(mosquitto*, void* self, int result);
  static void OnPublish(mosquitto*, void* self, int mid);

  mosquitto* client_ = nullptr;
  bool connected_ = false;
  bool lost_ = false;
  std::string failure_;
  std::vector<int> acknowledged_;
};
