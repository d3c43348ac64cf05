// Starting this program anew: the restart launches the program's file
// detached, in the current working directory, with the remembered options, and does
// not wait for it to run. The file is the one the program was started from,
// by name: after a package upgrade replaced it, the name gives the new file.
// A launch that fails is written to standard error; under a service manager
// the new instance becomes the service's main process. Main thread only.
#pragma once

#include <string>
#include <vector>

// Called once at start-up with argv[0]: the path the program was started
// as (made absolute) when it names this executable, else this executable's
// path as the system reports it now.
void RememberOwnExecutable(const char* argv0);

// The options a restart passes on (those the operator gave, e.g. "--http", "off").
void RememberRestartArguments(std::vector<std::string> arguments);

// The path a restart launches; without RememberOwnExecutable, this
// executable's path as the system reports it now.
std::string OwnExecutable();

void LaunchOwnExecutableDetached();
