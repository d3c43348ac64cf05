// Starting this program anew: the restart launches the running executable
// (its real path) detached, in the current working directory, without
// arguments, and does not wait for it. Failures are not reported: the caller
// is ending anyway, and the operator sees whether a new window appears.
#pragma once

void LaunchOwnExecutableDetached();
