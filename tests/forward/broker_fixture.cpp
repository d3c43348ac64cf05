#include "forward/broker_fixture.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace {

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool Listening(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace

TestBroker::TestBroker(bool tls) {
  std::string pattern = (std::filesystem::temp_directory_path() / "dc_broker_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  port_ = FreePort();
  std::ofstream config(directory_ + "/mosquitto.conf");
  config << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\nuser root\n"
         << "persistence true\npersistence_location " << directory_ << "/\n"
         << "max_queued_messages 0\nlog_dest file " << directory_ << "/broker.log\n";
  if (tls) {
    MakeCertificates();
    tlsPort_ = FreePort();
    config << "listener " << tlsPort_ << " 127.0.0.1\ncafile " << CaFile() << "\ncertfile "
           << directory_ << "/server.pem\nkeyfile " << directory_ << "/server.key\n";
  }
  config.close();
  Start();
}

void TestBroker::MakeCertificates() const {
  std::ofstream(directory_ + "/names.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
  std::string commands =
      "cd " + directory_ +
      " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2"
      " -subj /CN=dc-test-ca"
      " && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr"
      " -subj /CN=localhost"
      " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
      " -out server.pem -days 2 -extfile names.ext";
  if (std::system(("(" + commands + ") >/dev/null 2>&1").c_str()) != 0)
    throw std::runtime_error("openssl could not make the test certificates");
}

TestBroker::~TestBroker() {
  Stop();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void TestBroker::Start() {
  pid_ = ::fork();
  if (pid_ == 0) {
    std::string config = directory_ + "/mosquitto.conf";
    ::execlp("mosquitto", "mosquitto", "-c", config.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 500 && !Listening(port_); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!Listening(port_)) throw std::runtime_error("mosquitto did not start");
}

void TestBroker::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

TestSubscriber::TestSubscriber(int port, const std::string& filter) : filter_(filter) {
  mosquitto_lib_init();
  std::string id = "dc-test-subscriber-" + std::to_string(::getpid());
  client_ = mosquitto_new(id.c_str(), false, this);
  mosquitto_connect_callback_set(client_, &TestSubscriber::OnConnect);
  mosquitto_message_callback_set(client_, &TestSubscriber::OnMessage);
  mosquitto_reconnect_delay_set(client_, 1, 1, false);
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect(client_, "127.0.0.1", port, 30);
  mosquitto_loop_start(client_);
  for (int i = 0; i < 500; ++i) {
    {
      std::lock_guard lock(mutex_);
      if (subscribed_) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("the subscriber could not subscribe");
}

TestSubscriber::~TestSubscriber() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);  // a cancelled loop thread would leave its lock held
  mosquitto_destroy(client_);
}

void TestSubscriber::OnConnect(mosquitto* client, void* self, int result) {
  if (result != 0) return;
  auto* subscriber = static_cast<TestSubscriber*>(self);
  mosquitto_subscribe(client, nullptr, subscriber->filter_.c_str(), 1);
  std::lock_guard lock(subscriber->mutex_);
  subscriber->subscribed_ = true;
}

void TestSubscriber::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* subscriber = static_cast<TestSubscriber*>(self);
  std::lock_guard lock(subscriber->mutex_);
  subscriber->messages_.push_back(
      {message->topic, std::string(static_cast<const char*>(message->payload), message->payloadlen),
       message->retain});
}

std::vector<Received> TestSubscriber::Messages() {
  std::lock_guard lock(mutex_);
  return messages_;
}

bool TestSubscriber::WaitFor(const std::function<bool(const std::vector<Received>&)>& done,
                             std::chrono::seconds wait) {
  auto until = std::chrono::steady_clock::now() + wait;
  while (std::chrono::steady_clock::now() < until) {
    if (done(Messages())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done(Messages());
}

std::string JsonField(const std::string& payload, const std::string& name) {
  std::string key = "\"" + name + "\":";
  std::size_t at = payload.find(key);
  if (at == std::string::npos) return "<missing>";
  at += key.size();
  if (payload[at] != '"') return payload.substr(at, payload.find_first_of(",}", at) - at);
  std::string value;
  for (++at; at < payload.size() && payload[at] != '"'; ++at) {
    if (payload[at] == '\\') ++at;
    value.push_back(payload[at]);
  }
  return value;
}
