// Program entry: initialises Qt, creates the main window (which runs its
// start-up before it is shown) and runs the event loop until it closes; then
// the process stays until its file transfers under way have ended (each by
// completion or its own time-out), so a restart or File/Exit cuts none off.
#include <QApplication>
#include <csignal>

#include "app/form_data_controller.h"
#include "store/path_resolver.h"
#include "tftp/session_budget.h"

int main(int argc, char* argv[]) {
  // A file that may grow no further (file size limit) must fail its write
  // with an error the program reports, not end the program.
  std::signal(SIGXFSZ, SIG_IGN);
  PathResolver::ProcessStartDirectory();  // the data tree hangs below where we start
  QApplication application(argc, argv);
  int status = 0;
  {
    TFormDataController window;
    window.show();
    status = application.exec();
  }
  SessionBudget::Process().WaitUntilAllEnded(-1);
  return status;
}
