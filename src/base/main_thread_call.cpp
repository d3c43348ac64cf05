#include "base/main_thread_call.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

// Shared between the waiting thread and the posted call.
struct Ticket {
  std::mutex mutex;
  std::condition_variable settled;
  bool done = false;  // guarded by mutex
  bool ran = false;   // guarded by mutex
};

// Settles the ticket when the posted call is destroyed, whether it ran or not.
struct Settler {
  std::shared_ptr<Ticket> ticket;
  ~Settler() {
    std::lock_guard<std::mutex> lock(ticket->mutex);
    ticket->done = true;
    ticket->settled.notify_all();
  }
};

}  // namespace

bool RunOnMainThreadAndWait(std::function<void()> call, const std::function<bool()>& giveUp) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  auto ticket = std::make_shared<Ticket>();
  auto settler = std::make_shared<Settler>(Settler{ticket});
  QMetaObject::invokeMethod(
      app,
      [settler, call = std::move(call)]() mutable {
        call();
        std::lock_guard<std::mutex> lock(settler->ticket->mutex);
        settler->ticket->ran = true;
      },
      Qt::QueuedConnection);
  settler.reset();
  std::unique_lock<std::mutex> lock(ticket->mutex);
  while (!ticket->done) {
    if (giveUp()) return false;
    ticket->settled.wait_for(lock, std::chrono::milliseconds(50));
  }
  return ticket->ran;
}

bool MainThreadAvailable() { return QCoreApplication::instance() != nullptr; }
