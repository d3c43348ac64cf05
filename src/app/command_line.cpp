#include "app/command_line.h"

#include <string_view>

namespace {

constexpr int kUsageExitCode = 2;

constexpr std::string_view kUsage =
    "Usage: datacontroller [--help | --version]\n"
    "Starts the data unit in the current directory: the unit link on TCP port 10079,\n"
    "file transfer (TFTP) on UDP port 69, the data tree below the directory (log/\n"
    "must exist). It takes no other arguments; see datacontroller(1).\n";

}  // namespace

std::optional<int> AnswerInformationRequest(int argc, const char* const* argv, std::ostream& out) {
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    if (argument == "--help") {
      out << kUsage;
      return 0;
    }
    if (argument == "--version") {
      out << "datacontroller " << DC_VERSION << "\n";
      return 0;
    }
  }
  return std::nullopt;
}

int RefuseArguments(int argc, const char* const* argv, std::ostream& err) {
  err << "datacontroller: unknown argument '" << (argc > 1 ? argv[1] : "") << "'\n" << kUsage;
  return kUsageExitCode;
}
