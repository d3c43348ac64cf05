// unit_client: acts as one unit on the unit link, for people who integrate units.
//
//   unit_client [--host H] [--port P] [--wait MS] NAME [COMMAND...]
//
// Connects (default 127.0.0.1:10079), takes the slot the data unit offers,
// registers as NAME, sends each COMMAND (or, without any, each line of
// standard input) as "CS_TEXT NAME COMMAND#", and prints every text the data
// unit sends back. After the last command it keeps listening for MS
// milliseconds (default 1500) and then leaves with "CS_REMOVE_NAME NAME#".
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "unit_connection.h"

namespace {

struct Options {
  std::string host = "127.0.0.1";
  int port = 10079;
  int waitMs = 1500;
  std::string name;
  std::vector<std::string> commands;
};

constexpr const char* kUsage =
    "usage: unit_client [--host H] [--port P] [--wait MS] NAME [COMMAND...]\n"
    "Registers as unit NAME on the data unit's unit link (default 127.0.0.1:10079),\n"
    "sends each COMMAND (or each line of standard input) as the unit's text and prints\n"
    "every CC_TEXT that arrives, for MS milliseconds (default 1500) after the last.\n";

[[noreturn]] void Usage(bool asked) {
  std::fputs(kUsage, asked ? stdout : stderr);
  std::exit(asked ? 0 : 2);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc && std::string(argv[i]).rfind("-", 0) == 0; i += 2) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") Usage(true);
    if (i + 1 >= argc) Usage(false);
    if (flag == "--host")
      options.host = argv[i + 1];
    else if (flag == "--port")
      options.port = std::atoi(argv[i + 1]);
    else if (flag == "--wait")
      options.waitMs = std::atoi(argv[i + 1]);
    else
      Usage(false);
  }
  if (i >= argc) Usage(false);
  options.name = argv[i++];
  for (; i < argc; ++i) options.commands.emplace_back(argv[i]);
  return options;
}

void PrintReplies(UnitConnection& unit, std::chrono::milliseconds wait) {
  while (auto text = unit.NextText(wait)) std::cout << "CC_TEXT " << *text << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseOptions(argc, argv);
  try {
    UnitConnection unit(options.host, options.port);
    int slot = unit.Register(options.name);
    std::cout << "registered as " << options.name << " in slot " << slot << std::endl;
    const auto arrived = std::chrono::milliseconds(0);  // what is there, without waiting
    if (options.commands.empty()) {
      for (std::string line; std::getline(std::cin, line);) {
        if (line.empty()) continue;
        unit.SendText(line);
        PrintReplies(unit, arrived);
      }
    }
    for (const std::string& command : options.commands) {
      unit.SendText(command);
      PrintReplies(unit, arrived);
    }
    PrintReplies(unit, std::chrono::milliseconds(options.waitMs));
    unit.SendMessage("CS_REMOVE_NAME " + options.name);
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "unit_client: %s\n", failure.what());
    return 1;
  }
}
