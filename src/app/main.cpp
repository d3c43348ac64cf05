// Program entry: answers --help and --version, initialises Qt, creates the
// main window (which runs its start-up before it is shown), tells a service
// manager once both ports listen and runs the event loop until it closes;
// then the process stays until its file transfers under way have ended (each
// by completion or its own time-out), so a restart or File/Exit cuts none off.
#include <QApplication>
#include <csignal>
#include <iostream>
#include <optional>

#include "app/command_line.h"
#include "app/form_data_controller.h"
#include "app/program_launch.h"
#include "app/service_notice.h"
#include "link/communication_server.h"
#include "store/path_resolver.h"
#include "tftp/net_trivial_ftp_server.h"
#include "tftp/session_budget.h"

namespace {

bool ServesBothPorts(const TFormDataController& window) {
  const TCommunicationServer* server = window.UnitLinkServer();
  const TNetTrivialFTPServer* files = window.FileTransferServer();
  return server != nullptr && server->Active() && files != nullptr && files->Active();
}

}  // namespace

int main(int argc, char* argv[]) {
  if (std::optional<int> exitCode = AnswerInformationRequest(argc, argv, std::cout))
    return *exitCode;
  // A file that may grow no further (file size limit) must fail its write
  // with an error the program reports, not end the program.
  std::signal(SIGXFSZ, SIG_IGN);
  RememberOwnExecutable(argv[0]);
  PathResolver::ProcessStartDirectory();  // the data tree hangs below where we start
  StartUpSettings settings;
  try {  // before Qt starts: a wrong value is refused without a display too
    HttpOption http = TakeHttpOption(argc, argv);
    settings.web = http.address;
    RememberRestartArguments(http.words);
  } catch (const std::invalid_argument& refused) {
    return RefuseOption(refused.what(), std::cerr);
  }
  QApplication application(argc, argv);
  if (argc > 1) return RefuseArguments(argc, argv, std::cerr);
  int status = 0;
  {
    TFormDataController window({}, settings);
    window.show();
    if (ServesBothPorts(window)) NotifyServiceReady();
    status = application.exec();
  }
  SessionBudget::Process().WaitUntilAllEnded(-1);
  return status;
}
