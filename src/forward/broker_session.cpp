#include "forward/broker_session.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "forward/forward_errors.h"

namespace {

constexpr const char* kOffline = "offline";

void InitialiseLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

void Require(int result, const std::string& what) {
  if (result != MOSQ_ERR_SUCCESS)
    throw EForwardError("The broker connection cannot be set up (" + what +
                        "): " + mosquitto_strerror(result));
}

}  // namespace

BrokerSession::BrokerSession(const BrokerSettings& settings) {
  InitialiseLibraryOnce();
  client_ = mosquitto_new(nullptr, true, this);
  if (client_ == nullptr) throw EForwardError("The broker connection cannot be set up");
  mosquitto_connect_callback_set(client_, &BrokerSession::OnConnect);
  mosquitto_disconnect_callback_set(client_, &BrokerSession::OnDisconnect);
  mosquitto_publish_callback_set(client_, &BrokerSession::OnPublish);
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // The forwarder bounds what is in flight; the library is to send it all at once.
  mosquitto_int_option(client_, MOSQ_OPT_SEND_MAXIMUM, 65535);
  std::string statusTopic = settings.topicPrefix + "/status";
  Require(mosquitto_will_set(client_, statusTopic.c_str(), 7, kOffline, 1, true), "last will");
  if (!settings.user.empty())
    Require(mosquitto_username_pw_set(client_, settings.user.c_str(), settings.password.c_str()),
            "credentials");
  if (settings.tls && settings.caFile.empty())
    Require(mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1), "system CA store");
  if (settings.tls && !settings.caFile.empty())
    Require(mosquitto_tls_set(client_, settings.caFile.c_str(), nullptr, nullptr, nullptr, nullptr),
            "CA file " + settings.caFile);
  int result =
      mosquitto_connect_async(client_, settings.host.c_str(), settings.port, kKeepAliveSeconds);
  if (result != MOSQ_ERR_SUCCESS) {
    lost_ = true;
    failure_ =
        result == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(result);
  }
}

BrokerSession::~BrokerSession() { mosquitto_destroy(client_); }

bool BrokerSession::Step(int timeoutMs) {
  if (lost_) return false;
  int result = mosquitto_loop(client_, timeoutMs, 1);
  if (result != MOSQ_ERR_SUCCESS && !lost_) {
    lost_ = true;
    failure_ =
        result == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(result);
  }
  return !lost_;
}

int BrokerSession::Publish(const std::string& topic, const std::string& payload, bool retain) {
  if (!connected_ || lost_) return -1;
  int mid = 0;
  int result = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                 payload.data(), 1, retain);
  if (result != MOSQ_ERR_SUCCESS) {
    lost_ = true;
    failure_ = mosquitto_strerror(result);
    return -1;
  }
  return mid;
}

std::vector<int> BrokerSession::TakeAcknowledged() {
  std::vector<int> taken;
  taken.swap(acknowledged_);
  return taken;
}

void BrokerSession::Close(const std::string& statusTopic, int timeoutMs) {
  if (!connected_ || lost_) return;
  int mid = Publish(statusTopic, kOffline, true);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (mid >= 0 && Step(20) && std::chrono::steady_clock::now() < until) {
    bool done = false;
    for (int acked : acknowledged_) done = done || acked == mid;
    if (done) break;
  }
  mosquitto_disconnect(client_);
}

void BrokerSession::OnConnect(mosquitto*, void* self, int result) {
  auto* session = static_cast<BrokerSession*>(self);
  if (result == 0) {
    session->connected_ = true;
    return;
  }
  session->lost_ = true;
  session->failure_ =
      std::string("the broker refused the connection: ") + mosquitto_connack_string(result);
}

void BrokerSession::OnDisconnect(mosquitto*, void* self, int result) {
  auto* session = static_cast<BrokerSession*>(self);
  if (session->lost_) return;
  session->lost_ = true;
  session->failure_ = result == 0 ? "disconnected" : "the connection was lost";
}

void BrokerSession::OnPublish(mosquitto*, void* self, int mid) {
  static_cast<BrokerSession*>(self)->acknowledged_.push_back(mid);
}
