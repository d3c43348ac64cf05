// curl as the TFTP peer of end-to-end tests and the soak: fetches and stores
// files of the program's data tree on 127.0.0.1:69. Runs curl as a child
// process with its output discarded; the exit code is curl's (-1 when it
// could not be run or was killed).
#pragma once

#include <sys/types.h>

#include <string>

// curl -o localFile tftp://127.0.0.1/remoteName
int FetchByTftp(const std::string& remoteName, const std::string& localFile, int blockSize = 512);
// curl -T localFile tftp://127.0.0.1/remoteName
int StoreByTftp(const std::string& localFile, const std::string& remoteName, int blockSize = 512);
// Starts the fetch without waiting; the caller waits for (or kills) the pid.
pid_t StartFetchByTftp(const std::string& remoteName, const std::string& localFile,
                       int blockSize = 512);
int WaitForExit(pid_t pid);
