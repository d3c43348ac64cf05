#include "app/command_line.h"

#include <string_view>
#include <utility>

namespace {

constexpr int kUsageExitCode = 2;

constexpr std::string_view kUsage =
    "Usage: datacontroller [--help | --version] [--http ADDR:PORT | --http off]\n"
    "Starts the data unit in the current directory: the unit link on TCP port 10079,\n"
    "file transfer (TFTP) on UDP port 69, the data tree below the directory (log/\n"
    "must exist). --http sets where the read-only web view and its /metrics listen\n"
    "(default 127.0.0.1:10080), or turns it off. See datacontroller(1).\n";

std::optional<WebAddress> ParseHttpValue(const std::string& value) {
  if (value == "off") return std::nullopt;
  std::size_t colon = value.rfind(':');
  std::string host = colon == std::string::npos ? "" : value.substr(0, colon);
  std::string port = colon == std::string::npos ? "" : value.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  bool digits = !port.empty() && port.size() <= 5 &&
                port.find_first_not_of("0123456789") == std::string::npos;
  int number = digits ? std::stoi(port) : 0;
  if (host.empty() || number < 1 || number > 65535)
    throw std::invalid_argument("datacontroller: --http wants ADDR:PORT or off, not '" + value +
                                "'");
  return WebAddress{host, number};
}

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

HttpOption TakeHttpOption(int& argc, char** argv) {
  HttpOption option;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    std::string value;
    if (argument == "--http") {
      if (i + 1 == argc) throw std::invalid_argument("datacontroller: --http wants a value");
      value = argv[++i];
    } else if (argument.starts_with("--http=")) {
      value = argument.substr(7);
    } else {
      argv[kept++] = argv[i];
      continue;
    }
    option.address = ParseHttpValue(value);
    option.words = {"--http", value};
  }
  argc = kept;
  argv[argc] = nullptr;
  return option;
}

int RefuseOption(const std::string& line, std::ostream& err) {
  err << line << "\n" << kUsage;
  return kUsageExitCode;
}
