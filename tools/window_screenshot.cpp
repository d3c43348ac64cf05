// Draws the real main window under the offscreen platform, filled with a few
// sample lines, and writes it as a PNG (menu bar included).
// Usage: window_screenshot [OUTPUT.png]   (default: docs/window.png)
// The window is created in an empty temporary directory and its error boxes go
// to standard error only, so start-up can neither open ports nor block.
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QTemporaryDir>
#include <cstdio>
#include <string>

#include "app/form_data_controller.h"

namespace {

void FillWithSamples(TFormDataController& window) {
  window.ListBoxClients()->addItems({"AU_MAIN", "CU_OFFICE", "SU_GATE", "SU_HALL"});
  window.Edit1()->setText("4");
  window.AddLogLine("SU_GATE saved file .\\log\\SU_GATE\\camera\\20240311_101502.jpg.");
  window.AddLogLine("SU_HALL T1 11.03.2024 10:15:07 21.5");
  window.AddLogLine("SU_GATE T2 11.03.2024 10:15:09 7.25");
  window.AddLogLine("SU_HALL saved file .\\config\\SU_HALL.ini.");
  window.AddCommandLine("DU_AUINIT");
  window.AddCommandLine("DU_CUINIT");
  window.AddCommandLine("DU_SAVELOG T1 11.03.2024 10:15:07 21.5");
  window.AddCommandLine("DU_SAVELOG T2 11.03.2024 10:15:09 7.25");
  window.AddCommandLine("DU_GIVELOGFILENAMES SU_HALL");
}

}  // namespace

int main(int argc, char* argv[]) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QString output = QDir::current().absoluteFilePath(argc > 1 ? QString::fromLocal8Bit(argv[1])
                                                             : QStringLiteral("docs/window.png"));
  QTemporaryDir empty_work_dir;
  if (!empty_work_dir.isValid() || !QDir::setCurrent(empty_work_dir.path())) {
    std::fprintf(stderr, "window_screenshot: cannot enter a temporary directory\n");
    return 1;
  }
  TFormDataController window(
      [](const std::string& text) { std::fprintf(stderr, "error box: %s\n", text.c_str()); });
  FillWithSamples(window);
  window.show();
  QApplication::processEvents();
  if (!window.grab().save(output, "PNG")) {
    std::fprintf(stderr, "window_screenshot: cannot write %s\n", output.toLocal8Bit().constData());
    return 1;
  }
  std::printf("wrote %s\n", output.toLocal8Bit().constData());
  return 0;
}
