// Starting this program anew: the restart launches the program's file
// detached, in the current working directory, with the arguments this
// instance was started with, and does not wait for it to run. The file is the one the program was
// started from, by name: after a package upgrade replaced it, the name gives the new file. A launch
// that fails is written to standard error; under a service manager the new instance becomes the
// service's main process. Main thread only.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Called once at start-up with argv[0]: the path the program was started
// as (made absolute) when it names this executable, else this executable's
// path as the system reports it now.
void RememberOwnExecutable(const char* argv0);
// Called once at start-up, before anything takes arguments out of argv: the
// arguments (argv[1] on) the new instance gets, so it runs as this one does.
void RememberOwnArguments(int argc, const char* const* argv);

// The path a restart launches; without RememberOwnExecutable, this
// executable's path as the system reports it now.
std::string OwnExecutable();

// lastErrorRestart: when the last restart caused by a connection error
// happened (the steady clock is the same in every process); the new instance
// learns it by TakeLastErrorRestart.
void LaunchOwnExecutableDetached(
    std::optional<std::chrono::steady_clock::time_point> lastErrorRestart = std::nullopt);

// True when this process was launched by another instance's restart (which
// marks the new instance's environment); the mark is taken out of the
// environment, so it does not pass on. Call once, early in main.
bool TakeRestartMark();
// The last error restart handed over by the instance that launched this one
// (never later than now), taken out of the environment; nothing when none.
std::optional<std::chrono::steady_clock::time_point> TakeLastErrorRestart();
