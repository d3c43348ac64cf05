// Program entry: answers --help and --version, checks the operator's options
// before anything opens a port or touches the tree, initialises Qt, creates the
// main window (which takes the data tree and runs its start-up before it is
// shown) and runs the event loop until it closes (File/Exit, SIGTERM,
// SIGINT, a restart); then the process stays until its file transfers under
// way have ended, at most kEndingLimitMs: what still runs then is cut off
// with an error packet to its peer. A second instance started by hand beside
// a running one says so and ends with status 1.
#include <QApplication>
#include <QGuiApplication>
#include <csignal>
#include <iostream>
#include <optional>

#include "app/command_line.h"
#include "app/error_box_queue.h"
#include "app/form_data_controller.h"
#include "app/program_launch.h"
#include "app/stop_signals.h"
#include "base/failure_report.h"
#include "store/path_resolver.h"
#include "store/tree_lock.h"
#include "tftp/session_budget.h"

namespace {

// The ending instance's limit: systemd's stop time-out (90 s) is well above it.
constexpr int kEndingLimitMs = 10000;
// After the cut-off each session ends within one wait slice and its sending.
constexpr int kCutOffGraceMs = 3000;

// The journal has no use for Qt's debug output and platform warnings (the
// offscreen platform warns about every error box); Qt's failures still go.
void JournalMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) WriteFailureLine(message.toStdString());
}

void EndTransfersWithinLimit() {
  SessionBudget& sessions = SessionBudget::Process();
  if (sessions.WaitUntilAllEnded(kEndingLimitMs)) return;
  sessions.CutOffAll();
  if (!sessions.WaitUntilAllEnded(kCutOffGraceMs))
    WriteFailureLine("File transfers still running at the end were dropped");
}

bool ShowsWindows() {
  const QString platform = QGuiApplication::platformName();
  return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

StartUpSettings SettingsFor(const OperatorOptions& options) {
  StartUpSettings settings;
  settings.listenAddress = options.listenAddress;
  settings.retentionDays = options.retentionDays;
  settings.staleAfterSeconds = options.staleAfterSeconds;
  settings.web = options.http;
  settings.mqtt = options.mqtt;
  if (!options.allowed.empty())
    settings.senders = std::make_shared<AllowedSenders>(options.allowed);
  if (!options.httpAllowed.empty())
    settings.webClients = std::make_shared<AllowedSenders>(options.httpAllowed);
  return settings;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (std::optional<int> exitCode = AnswerInformationRequest(argc, argv, std::cout))
    return *exitCode;
  // A file that may grow no further (file size limit) must fail its write
  // with an error the program reports, not end the program.
  std::signal(SIGXFSZ, SIG_IGN);
  StopSignals::Install();
  RememberOwnExecutable(argv[0]);
  RememberOwnArguments(argc, argv);
  const bool restarted = TakeRestartMark();
  std::optional<OperatorOptions> options = TakeOperatorOptions(argc, argv, std::cerr, restarted);
  if (!options) return kUsageExitCode;
  if (options->checkOnly) return argc > 1 ? RefuseArguments(argc, argv, std::cerr) : 0;
  StartUpSettings settings = SettingsFor(*options);
  settings.waitForTree = restarted;
  settings.lastErrorRestart = TakeLastErrorRestart();
  PathResolver::ProcessStartDirectory();  // the data tree hangs below where we start
  if (StandardErrorIsJournal()) qInstallMessageHandler(JournalMessageHandler);
  QApplication application(argc, argv);
  if (argc > 1) return RefuseArguments(argc, argv, std::cerr);
  int status = 0;
  std::unique_ptr<TreeLock> tree;  // held until the last transfer has ended
  {
    TFormDataController window({}, settings);
    if (window.TreeRefused()) {
      if (ShowsWindows()) ShowModalErrorBox(&window, FailureText(window.TreeRefusal()));
      return 1;
    }
    StopSignals stop([&window] { window.EndInstance(); });
    window.show();
    status = application.exec();
    tree = window.HandOverTreeLock();
  }
  EndTransfersWithinLimit();
  return status;
}
