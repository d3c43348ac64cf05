// Program entry: initialises Qt, creates the main window (which runs its
// start-up before it is shown) and runs the event loop until it closes.
#include <QApplication>

#include <csignal>

#include "app/form_data_controller.h"
#include "store/path_resolver.h"

int main(int argc, char* argv[]) {
  // A file that may grow no further (file size limit) must fail its write
  // with an error the program reports, not end the program.
  std::signal(SIGXFSZ, SIG_IGN);
  PathResolver::ProcessStartDirectory();  // the data tree hangs below where we start
  QApplication application(argc, argv);
  TFormDataController window;
  window.show();
  return application.exec();
}
