// Runs a call on the main thread (the thread of the Qt application object) and
// waits for it from another thread, without ever waiting for a main thread
// that is gone: the wait ends when the call has run, when the application
// dropped it unrun (it was being destroyed), or when giveUp() turns true.
// A call that was given up may still run later; it must check for itself that
// what it touches still exists.
#pragma once

#include <functional>

// Returns true when the call ran. Without an application object nothing runs.
bool RunOnMainThreadAndWait(std::function<void()> call, const std::function<bool()>& giveUp);

// True when a Qt application object exists to run main-thread calls.
bool MainThreadAvailable();
