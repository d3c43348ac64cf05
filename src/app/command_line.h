// The program's command line. Without arguments the data unit starts; the
// only options of its own are "--help" and "--version", which print to out
// and end the program. Qt's own options (-platform, -style ...) are taken by
// QApplication; whatever is left after that is refused.
#pragma once

#include <optional>
#include <ostream>

// The exit code when an argument asks for information (written to out),
// nothing when the program is to start.
std::optional<int> AnswerInformationRequest(int argc, const char* const* argv, std::ostream& out);

// The exit code for arguments nobody took (argc > 1), with a line to err.
int RefuseArguments(int argc, const char* const* argv, std::ostream& err);
