// A real mosquitto broker for the forwarder's tests, on a free port of
// 127.0.0.1 with a generated configuration and persistence in a temporary
// directory (so a subscriber's session and its queued messages survive a
// stop and start), and a subscriber with a persistent session that collects
// everything below a prefix.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

class TestBroker {
 public:
  // Started; with tls also a TLS listener whose certificate (for localhost
  // and 127.0.0.1) a private CA made by openssl signed (CaFile()).
  explicit TestBroker(bool tls = false);
  ~TestBroker();
  void Start();
  void Stop();  // SIGTERM: the broker saves its sessions
  int Port() const { return port_; }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
  const std::string& Directory() const { return directory_; }
  int TlsPort() const { return tlsPort_; }
  std::string CaFile() const { return directory_ + "/ca.pem"; }

 private:
  void MakeCertificates() const;
  std::string directory_;
  int port_ = 0;
  int tlsPort_ = 0;
  pid_t pid_ = -1;
};

struct Received {
  std::string topic;
  std::string payload;
  bool retained;
};

class TestSubscriber {
 public:
  TestSubscriber(int port, const std::string& filter);  // returns once subscribed
  ~TestSubscriber();
  std::vector<Received> Messages();
  // Waits until done(messages) holds; false after wait.
  bool WaitFor(const std::function<bool(const std::vector<Received>&)>& done,
               std::chrono::seconds wait = std::chrono::seconds(60));

 private:
  static void OnConnect(mosquitto*, void* self, int result);
  static void OnMessage(mosquitto*, void* self, const struct mosquitto_message* message);
  mosquitto* client_;
  std::string filter_;
  std::mutex mutex_;
  std::vector<Received> messages_;  // guarded by mutex_
  bool subscribed_ = false;         // guarded by mutex_
};

// The JSON string field name of payload, unescaped only as far as the tests need.
std::string JsonField(const std::string& payload, const std::string& name);
