#include "app/command_line.h"

#include <arpa/inet.h>

#include <charconv>
#include <set>
#include <string>
#include <string_view>

#include "app/local_address.h"

namespace {

constexpr std::string_view kUsage =
    "Usage: datacontroller [OPTION]...\n"
    "Starts the data unit in the current directory: the unit link on TCP port 10079,\n"
    "file transfer (TFTP) on UDP port 69, the data tree below the directory (log/\n"
    "must exist). The service takes its options from /etc/default/datacontroller.\n"
    "\n"
    "  --listen ADDR         answer units (TCP 10079, UDP 69) only on this local\n"
    "                        IPv4 address (default: every interface)\n"
    "  --allow CIDR          serve units (TCP 10079, UDP 69) only from this IPv4\n"
    "                        network (a.b.c.d/n, or one host a.b.c.d); repeat it\n"
    "                        for more networks (default: every sender); others are\n"
    "                        refused and reported\n"
    "  --retention-days N    sweep away records and pictures N days old (1 to 36500;\n"
    "                        default 7)\n"
    "  --stale-after TIME    mark sensors without a record for TIME (30m, 2h, 1d,\n"
    "                        600s; default 1h)\n"
    "  --http ADDR:PORT|off  the web view's address: one of this machine, or 0.0.0.0\n"
    "                        for all (default 127.0.0.1:10078)\n"
    "  --http-allow CIDR     serve the web view only to this IPv4 network; repeat it\n"
    "                        for more networks (default: every client)\n"
    "  --mqtt URL            forward every record and alarm to this MQTT broker\n"
    "                        (mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; default off)\n"
    "  --mqtt-ca FILE        the CA certificate(s) for mqtts:// (default: the system's)\n"
    "  --mqtt-credentials FILE  user name (first line) and password (second line)\n"
    "  --mqtt-topic PREFIX   the topics' prefix (default datacontroller/<host name>)\n"
    "  --check               check the options and end (status 0 when they are good)\n"
    "  --help                show this text and end\n"
    "  --version             show the version and end\n"
    "\n"
    "Example: datacontroller --listen 10.1.0.1 --allow 10.1.0.0/24 --retention-days 14\n"
    "See datacontroller(1).\n";

// One option as written: "--name value" or "--name=value".
struct Written {
  std::string_view name;
  std::string_view value;
  bool inlineValue = false;
};

Written Split(std::string_view argument) {
  const std::size_t equals = argument.find('=');
  if (!argument.starts_with("--") || equals == std::string_view::npos) return {argument, {}, false};
  return {argument.substr(0, equals), argument.substr(equals + 1), true};
}

bool TakesValue(std::string_view name) {
  return name == "--listen" || name == "--allow" || name == "--retention-days" ||
         name == "--http" || name == "--http-allow" ||
         name.starts_with("--mqtt") ||
         name == "--stale-after";
}

// The checks of one value; each returns the problem, or "" when the value is good.
class OptionReader {
 public:
  OptionReader(OperatorOptions& options, bool restarted)
      : options_(options), restarted_(restarted) {}

  std::string Read(std::string_view name, std::string_view value) {
    if (name == "--listen") return Listen(value);
    if (name == "--allow") return Allow(value, "--allow ", options_.allowed);
    if (name == "--http-allow") return Allow(value, "--http-allow ", options_.httpAllowed);
    if (name == "--http") return Http(value);
    if (name.starts_with("--mqtt")) return Mqtt(name, value);
    if (name == "--stale-after") return StaleAfter(value);
    return RetentionDays(value);
  }

 private:
  std::string Listen(std::string_view value) {
    if (listenGiven_) return "--listen is given twice; the data unit listens on one address";
    listenGiven_ = true;
    in_addr parsed{};
    if (::inet_pton(AF_INET, std::string(value).c_str(), &parsed) != 1)
      return "--listen '" + std::string(value) + "' is not an IPv4 address (a.b.c.d)";
    options_.listenAddress = ntohl(parsed.s_addr);
    const std::string problem = ListenAddressProblem(value, restarted_);
    return problem.empty() ? "" : "--listen " + std::string(value) + " " + problem;
  }

  static std::string Allow(std::string_view value, const std::string& option,
                           std::vector<Ipv4Network>& networks) {
    std::string problem;
    std::optional<Ipv4Network> network = ParseIpv4Network(value, problem);
    if (!network) return option + problem;
    networks.push_back(*network);
    return "";
  }

  // "off", or ADDR:PORT with a port 1..65535 ("[::1]:10078" for IPv6).
  std::string Http(std::string_view value) {
    if (httpGiven_) return "--http is given twice; the web view listens on one address";
    httpGiven_ = true;
    if (value == "off") {
      options_.http.reset();
      return "";
    }
    const std::size_t colon = value.rfind(':');
    std::string_view host = colon == std::string_view::npos ? "" : value.substr(0, colon);
    std::string_view port = colon == std::string_view::npos ? "" : value.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    int number = 0;
    auto [end, failed] = std::from_chars(port.data(), port.data() + port.size(), number);
    const bool whole = !port.empty() && failed == std::errc() && end == port.data() + port.size();
    if (host.empty() || !whole || number < 1 || number > 65535)
      return "--http wants ADDR:PORT or off, not '" + std::string(value) + "'";
    const std::string problem = ListenAddressProblem(host, restarted_);
    if (!problem.empty())
      return "--http " + std::string(value) + ": " + std::string(host) + " " + problem;
    options_.http = WebAddress{std::string(host), number};
    return "";
  }

  std::string RetentionDays(std::string_view value) {
    if (retentionGiven_) return "--retention-days is given twice";
    retentionGiven_ = true;
    int days = -1;
    auto [end, failed] = std::from_chars(value.data(), value.data() + value.size(), days);
    const bool whole =
        !value.empty() && failed == std::errc() && end == value.data() + value.size();
    if (whole && days == 0)
      return "--retention-days 0 would sweep away every record and picture; give 1 or more days";
    if (!whole || days < 1 || days > OperatorOptions::kLongestRetentionDays)
      return "--retention-days '" + std::string(value) +
             "' is not a whole number of days from 1 to " +
             std::to_string(OperatorOptions::kLongestRetentionDays);
    options_.retentionDays = days;
    return "";
  }

  std::string Mqtt(std::string_view name, std::string_view value) {
    if (!mqttGiven_.insert(std::string(name)).second)
      return std::string(name) + " is given twice";
    BrokerSettings& broker = options_.mqtt;
    if (name == "--mqtt") return broker.ReadUrl(value);
    if (name == "--mqtt-ca") return broker.ReadCaFile(value);
    if (name == "--mqtt-credentials") return broker.ReadCredentials(value);
    if (name == "--mqtt-topic") return broker.ReadTopicPrefix(value);
    return "unknown option " + std::string(name);
  }

  // A whole number with s, m, h or d (seconds without), up to ten years.
  std::string StaleAfter(std::string_view value) {
    if (staleGiven_) return "--stale-after is given twice";
    staleGiven_ = true;
    static const std::string_view units = "smhd";
    static const long long seconds[] = {1, 60, 3600, 86400};
    std::size_t unit = value.empty() ? 0 : units.find(value.back());
    std::string_view digits =
        unit == std::string_view::npos ? value : value.substr(0, value.size() - 1);
    long long count = 0;
    auto [end, failed] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    const long long factor = seconds[unit == std::string_view::npos ? 0 : unit];
    if (digits.empty() || failed != std::errc() || end != digits.data() + digits.size() ||
        count < 1 || count > 3650LL * 86400 / factor)
      return "--stale-after " + std::string(value) +
             " is not a time such as 30m, 2h or 1d (1 second to 3650 days)";
    options_.staleAfterSeconds = count * factor;
    return "";
  }

  OperatorOptions& options_;
  const bool restarted_;
  std::set<std::string> mqttGiven_;
  bool staleGiven_ = false;
  bool listenGiven_ = false;
  bool retentionGiven_ = false;
  bool httpGiven_ = false;
};

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

std::optional<OperatorOptions> TakeOperatorOptions(int& argc, char** argv, std::ostream& err,
                                                   bool restarted) {
  OperatorOptions options;
  OptionReader reader(options, restarted);
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    Written option = Split(argv[i]);
    std::string problem;
    if (option.name == "--check" && !option.inlineValue) {
      options.checkOnly = true;
    } else if (!TakesValue(option.name)) {
      argv[kept++] = argv[i];
    } else if (!option.inlineValue && i + 1 >= argc) {
      problem = std::string(option.name) + " needs a value";
    } else {
      problem = reader.Read(option.name, option.inlineValue ? option.value : argv[++i]);
    }
    if (!problem.empty()) {
      err << "datacontroller: " << problem << " (see datacontroller --help)\n";
      return std::nullopt;
    }
  }
  if (std::string problem = options.mqtt.Complete(); !problem.empty()) {
    err << "datacontroller: " << problem << " (see datacontroller --help)\n";
    return std::nullopt;
  }
  argc = kept;
  argv[argc] = nullptr;
  return options;
}

int RefuseArguments(int argc, const char* const* argv, std::ostream& err) {
  err << "datacontroller: unknown argument '" << (argc > 1 ? argv[1] : "") << "'\n" << kUsage;
  return kUsageExitCode;
}
