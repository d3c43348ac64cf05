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

[[noreturn]] void Usage() {
  std::fprintf(stderr, "usage: unit_client [--host H] [--port P] [--wait MS] NAME [COMMAND...]\n");
  std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i + 1 < argc && std::string(argv[i]).rfind("--", 0) == 0; i += 2) {
    std::string flag = argv[i];
    if (flag == "--host")
      options.host = argv[i + 1];
    else if (flag == "--port")
      options.port = std::atoi(argv[i + 1]);
    else if (flag == "--wait")
      options.waitMs = std::atoi(argv[i + 1]);
    else
      Usage();
  }
  if (i >= argc) Usage();
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
    const auto shortWait = std::chrono::milliseconds(100);
    if (options.commands.empty()) {
      for (std::string line; std::getline(std::cin, line);) {
        if (line.empty()) continue;
        unit.SendText(line);
        PrintReplies(unit, shortWait);
      }
    }
    for (const std::string& command : options.commands) {
      unit.SendText(command);
      PrintReplies(unit, shortWait);
    }
    PrintReplies(unit, std::chrono::milliseconds(options.waitMs));
    unit.SendMessage("CS_REMOVE_NAME " + options.name);
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "unit_client: %s\n", failure.what());
    return 1;
  }
}
