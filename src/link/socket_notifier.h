// Readiness watching of one socket handle on the main thread's event loop.
#pragma once

#include <QSocketNotifier>
#include <functional>
#include <memory>

// A notifier for handle that calls ready on every activation (main thread).
std::unique_ptr<QSocketNotifier> WatchSocket(int handle, QSocketNotifier::Type type,
                                             std::function<void()> ready);

// Disables and disconnects notifier and frees it once control is back in the
// event loop, so that a notifier may be dropped from inside its own activation.
// Must run before the handle it watches is closed.
void DropNotifier(std::unique_ptr<QSocketNotifier>& notifier);
