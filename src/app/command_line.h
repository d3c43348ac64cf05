// The program's command line. "--help" and "--version" print to out and end
// the program. The operator's options (where to listen, whom to serve, how
// long data is kept, where the web view listens) are taken out of argv and
// checked before anything else happens; Qt's own options (-platform, -style
// ...) are left for QApplication, and whatever is left after that is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <vector>

#include "base/allowed_senders.h"
#include "forward/broker_settings.h"
#include "web/web_server.h"

constexpr int kUsageExitCode = 2;

// The operator's choices; the defaults are the program without options.
struct OperatorOptions {
  static constexpr int kDefaultRetentionDays = 7;
  static constexpr int kLongestRetentionDays = 36500;

  uint32_t listenAddress = 0;            // host byte order; 0: every local address
  std::vector<Ipv4Network> allowed;      // the units' ports; empty: every sender
  std::vector<Ipv4Network> httpAllowed;  // the web view; empty: every client
  int retentionDays = kDefaultRetentionDays;
  long long staleAfterSeconds = 3600;  // a sensor silent this long is marked
  std::optional<WebAddress> http = WebAddress{};  // nothing: "--http off"
  bool checkOnly = false;                         // --check: end after the options were found good
  BrokerSettings mqtt;     // --mqtt...: no host, nothing is forwarded
};

// The exit code when an argument asks for information (written to out),
// nothing when the program is to start.
std::optional<int> AnswerInformationRequest(int argc, const char* const* argv, std::ostream& out);

// Takes the operator's options out of argv (argc shrinks, the rest keep their
// order). A malformed option or a bad value: nothing, with one line saying
// what is wrong on err. Opens no port the units see and touches no file.
// A restarted instance (restarted) takes an address that is missing for the
// moment: it was checked when the first instance started.
std::optional<OperatorOptions> TakeOperatorOptions(int& argc, char** argv, std::ostream& err,
                                                   bool restarted = false);

// The exit code for arguments nobody took (argc > 1), with a line to err.
int RefuseArguments(int argc, const char* const* argv, std::ostream& err);
