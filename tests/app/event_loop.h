// Bounded waits on the event loop for tests with Qt objects.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <functional>

// Lets the event loop run until an event arrives, at most about ms: a wait
// that also notices what happens outside the loop (a unit's socket).
inline void WaitForEvents(int ms = 5) {
  QTimer wake;
  wake.setSingleShot(true);
  wake.start(ms);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Lets the event loop run until done() holds or a bounded number of passes
// went by, each waiting at most about 5 ms for an event; returns done().
inline bool RunEventsUntil(const std::function<bool()>& done, int passes = 200) {
  for (int pass = 0; pass < passes && !done(); ++pass) WaitForEvents();
  return done();
}

// Lets everything that is already queued on the event loop happen.
inline void RunPendingEvents() {
  for (int pass = 0; pass < 5; ++pass) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Runs the event loop, timers included, until done() holds or about
// maxWaitMs went by; returns done().
inline bool WaitEventsUntil(const std::function<bool()>& done, int maxWaitMs = 5000) {
  for (int waited = 0; waited < maxWaitMs && !done(); waited += 10) {
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return done();
}
