// The program's command line. Without arguments the data unit starts; its
// options are "--help" and "--version", which print to out and end the
// program, and "--http ADDR:PORT" or "--http off" for the web view. Qt's own options (-platform,
// -style ...) are taken by QApplication; whatever is left after that is refused.
#pragma once

#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "web/web_server.h"

// The exit code when an argument asks for information (written to out),
// nothing when the program is to start.
std::optional<int> AnswerInformationRequest(int argc, const char* const* argv, std::ostream& out);

// The exit code for arguments nobody took (argc > 1), with a line to err.
int RefuseArguments(int argc, const char* const* argv, std::ostream& err);

// The web view's setting: where it listens (127.0.0.1:10080 unless "--http"
// says otherwise), nothing for "--http off", and the words to give a restart.
struct HttpOption {
  std::optional<WebAddress> address = WebAddress{};
  std::vector<std::string> words;
};

// Takes "--http VALUE" (or "--http=VALUE") out of argv, shortening argc.
// Raises std::invalid_argument with the line to show for a value that is
// neither "off" nor ADDR:PORT with a port 1..65535, or a missing value.
HttpOption TakeHttpOption(int& argc, char** argv);

// The exit code for an option with a wrong value, with line and the usage to err.
int RefuseOption(const std::string& line, std::ostream& err);
