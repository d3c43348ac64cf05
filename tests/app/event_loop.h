// Bounded waits on the event loop for tests with Qt objects.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>

#include <functional>

// Lets the event loop run until done() holds or a bounded number of passes
// went by; returns done().
inline bool RunEventsUntil(const std::function<bool()>& done, int passes = 200) {
  for (int pass = 0; pass < passes && !done(); ++pass) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  return done();
}

// Lets everything that is already queued on the event loop happen.
inline void RunPendingEvents() {
  for (int pass = 0; pass < 5; ++pass) QCoreApplication::processEvents(QEventLoop::AllEvents);
}
