// Program entry: answers --help and --version, initialises Qt, creates the
// main window (which runs its start-up before it is shown), tells a service
// manager once both ports listen and runs the event loop until it closes.
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

namespace {

bool ServesBothPorts(const TFormDataController& window) {
  const TCommunicationServer* server = window.UnitLinkServer();
  return server != nullptr && server->Active() && server->TftpServer->Active();
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
  QApplication application(argc, argv);
  if (argc > 1) return RefuseArguments(argc, argv, std::cerr);
  TFormDataController window;
  window.show();
  if (ServesBothPorts(window)) NotifyServiceReady();
  return application.exec();
}
