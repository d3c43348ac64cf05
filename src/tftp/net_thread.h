// A thread that repeats one step of work until it is stopped. It is created
// suspended (StopFlag set) and runs from BeginRun; a stop is noticed between
// steps, so a step must return within a bounded time. An exception that leaves
// the work ends the thread, keeping only its message.
// A derived class must call StopAndWait in its destructor.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class TNetThread {
 public:
  TNetThread() = default;
  virtual ~TNetThread();
  TNetThread(const TNetThread&) = delete;
  TNetThread& operator=(const TNetThread&) = delete;

  // Clears StopFlag and starts the thread (once).
  void BeginRun();
  // Tells the thread to terminate after its current step. Any thread.
  void RequestStop();
  // RequestStop, then waits until the thread has ended. Not from the thread itself.
  void StopAndWait();

  bool Stopped() const { return stopFlag_ || terminated_; }
  // True while the body runs (false after it ended, also by an exception).
  bool Running() const { return running_; }
  std::string LastExceptionMessage() const;

 protected:
  virtual void Step() = 0;
  virtual void BeforeRun() {}
  virtual void AfterRun() {}

 private:
  void Body();

  std::thread thread_;
  std::atomic<bool> stopFlag_{true};
  std::atomic<bool> terminated_{false};
  std::atomic<bool> running_{false};
  mutable std::mutex messageMutex_;
  std::string lastExceptionMessage_;  // guarded by messageMutex_
};
