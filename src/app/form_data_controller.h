// The data unit's one main window: the registered units, the last actions,
// the received command texts, "Clear last actions", "ReBoot" and File/Exit.
// It owns every component below it and, while it lives, is the failure sink of
// the whole program (an ErrorBoxQueue). Every handler runs on the main thread
// and is guarded: what it throws ends it and is shown in the error box.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QRect>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/error_box_queue.h"
#include "app/restart_spacing.h"
#include "base/allowed_senders.h"
#include "forward/broker_forwarder.h"
#include "forward/broker_settings.h"
#include "store/forward_ledger.h"
#include "link/server_connection.h"
#include "link/socket_error.h"
#include "store/path_resolver.h"
#include "web/web_server.h"

class QListWidgetItem;

class MemoPane;
class SensorWindow;
class TCommunicationServer;
class TDataController;
class TNetTrivialFTPServer;
class TreeLock;
class UnitCommandDispatcher;
class UnitReplies;
class WebState;

class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTimer;

// Where start-up puts the data unit: the program uses the defaults or the
// operator's options; tests use a temporary start directory and free ports (0).
struct StartUpSettings {
  std::string startDirectory = PathResolver::ProcessStartDirectory();
  int unitLinkPort = 10079;
  int fileTransferPort = 69;
  uint32_t listenAddress = 0;  // host byte order; 0: every local address
  int retentionDays = 7;
  long long staleAfterSeconds = 3600;  // the web view marks sensors silent this long
  // Null: every sender is served. Refusals are reported on standard error
  // and in the last actions while the window lives.
  std::shared_ptr<AllowedSenders> senders;
  // Launched by another instance's restart: wait for it to release the tree
  // (it is ending) instead of refusing to start.
  bool waitForTree = false;
  // When the last restart caused by a connection error was, as the
  // instance that launched this one handed it over; nothing when none.
  std::optional<std::chrono::steady_clock::time_point> lastErrorRestart;
  // Where the web view listens; nothing: no web view (the program's command
  // line gives 127.0.0.1:10078 unless told otherwise).
  std::optional<WebAddress> web;
  // Whom the web view serves (null: every client); its refusals are
  // reported and counted as those of senders.
  std::shared_ptr<AllowedSenders> webClients;
  // The broker that records and alarms are forwarded to; no host: none.
  BrokerSettings mqtt;
};

class TFormDataController : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr int kLeft = 170;
  static constexpr int kTop = 195;
  // The client area that the components fill (below the menu bar); with the
  // frame of a 4-pixel border and caption it makes the outer 1396 x 697.
  static constexpr int kClientWidth = 1388;
  static constexpr int kClientHeight = 651;
  static constexpr int kLogLineLimit = 40;
  // The command pane keeps this many newest lines: without a bound a data
  // unit that runs for months would grow until the system stops it.
  static constexpr int kCommandLineLimit = 10000;
  static constexpr int kDeleteLogIntervalMs = 3600000;
  // The web view's copy of the unit list, ports and the two units' names.
  static constexpr int kWebPublishIntervalMs = 250;

  // Builds the window, starts TimerDeleteLog, installs the error box as the
  // failure sink and runs FormCreate (guarded), all before the window is
  // shown. presenter shows one error box; empty means the modal QMessageBox.
  explicit TFormDataController(ErrorBoxQueue::Presenter presenter = {},
                               StartUpSettings settings = {}, QWidget* parent = nullptr);
  // Puts back the failure sink that was installed before this window.
  ~TFormDataController() override;

  // Handlers (main thread). Each is connected through RunGuarded.
  // Takes the data tree (see TreeLock) and builds everything on it; when the
  // tree is held by an instance that is ending, the rest of the start-up
  // follows once it is free.
  void FormCreate();
  void Button1Click();
  void Button2Click();
  void Exit1Click();
  void TimerDeleteLogTimer();
  void MemoLogChange();
  void RestartProgram();
  // RestartProgram with its cause, which goes to standard error in one line.
  void RestartProgram(const std::string& cause);
  // File/Exit, also on SIGTERM and SIGINT: the ordered ending of this instance.
  void EndInstance();
  // The records the store gathered in this turn of the event loop.
  void WriteGatheredRecords();
  // View/Sensors: opens the sensor window, or raises the one already open.
  void SensorsClick();
  // Closes the unit port and the file transfer port (transfers under way go
  // on); what the units had sent before is carried out first.
  void ReleaseListeners();

  // The start-up found the tree held by another instance and did nothing (a
  // second instance started by hand); the text says so.
  bool TreeRefused() const { return !tree_refusal_.empty(); }
  const std::string& TreeRefusal() const { return tree_refusal_; }
  // The lock on the tree, for the caller to hold until the process ends
  // (after the transfers that outlive the window); null when none was taken.
  std::unique_ptr<TreeLock> HandOverTreeLock();

  // Handlers of the unit link server's events (wired by FormCreate).
  void HandleUnitText(std::string Text, std::string ClientName);
  void HandleUnitFile(std::string Filename, std::string ClientName);
  // Remembers when the unit last sent something and shows it on its list entry.
  void NoteLastSeen(const std::string& unit);
  void ShowLastSeen(QListWidgetItem* item) const;
  void HandleConnectCount();
  // A unit's connection error restarts the program, unless a restart that
  // one caused is less than RestartSpacing::kSpacing ago.
  void HandleClientError(ServerConnection* Socket, TErrorEvent ErrorEvent, int& ErrorCode);

  // The allow list with its refusal counts; null when every sender is served.
  AllowedSenders* Senders() const { return settings_.senders.get(); }
  // What start-up built; null where it stopped before (degraded start).
  TDataController* DataStore() const { return store_.get(); }
  TCommunicationServer* UnitLinkServer() const { return server_.get(); }
  UnitCommandDispatcher* Dispatcher() const { return dispatcher_.get(); }
  TNetTrivialFTPServer* FileTransferServer() const { return tftp_.get(); }
  WebServer* WebView() const { return web_.get(); }  // null without a web view

  // One line (8-bit text, shown as Latin-1) added at the end of a pane; a
  // CR LF or LF inside it starts a further line. Add lines only this way: the
  // panes keep every line ended by a break, which the line lists rely on.
  void AddLogLine(const std::string& line);
  void AddCommandLine(const std::string& line);
  std::vector<std::string> LogLines() const;
  std::vector<std::string> CommandLines() const;

  const std::string& AlarmUnit() const { return AlarmUnitName; }
  const std::string& ControlUnit() const { return ControlUnitName; }

  // The components, by their names. Owned by the window.
  QStatusBar* StatusBar1() const { return status_bar1_; }
  QPlainTextEdit* MemoLog() const { return memo_log_; }
  QListWidget* ListBoxClients() const { return list_box_clients_; }
  QMenuBar* MainMenu1() const { return main_menu1_; }
  QMenu* F1() const { return f1_; }
  QAction* Exit1() const { return exit1_; }
  QMenu* View1() const { return view1_; }
  QAction* Sensors1() const { return sensors1_; }
  SensorWindow* Sensors() const;  // null while none is open
  QMenu* Help1() const { return help1_; }
  QAction* About1() const { return about1_; }
  QLineEdit* Edit1() const { return edit1_; }
  QPlainTextEdit* MemoCommands() const { return memo_commands_; }
  QPushButton* Button1() const { return button1_; }
  QTimer* TimerDeleteLog() const { return timer_delete_log_; }
  QLabel* Label1() const { return label1_; }
  QLabel* Label2() const { return label2_; }
  QFrame* Bevel1() const { return bevel1_; }
  QLabel* Label3() const { return label3_; }
  QLabel* Label4() const { return label4_; }
  QPushButton* Button2() const { return button2_; }
  // The parent of every visible component but the menu; its origin is the
  // origin of the client coordinates.
  QWidget* ClientArea() const { return client_; }
  ErrorBoxQueue& ErrorBoxes() { return error_boxes_; }

 private:
  void BuildWindow();
  void BuildMenu();
  void BuildLabels();
  void BuildUnitPanel();
  void BuildPanes();
  void BuildStatusBar();
  void SetTabOrder();
  void ConnectHandlers();
  QLabel* NewLabel(const char* name, const char* text, QRect geometry, int bold_pixel_size = 0,
                   bool widen_leftwards = false);

  void OpenTree();
  void WaitForTree();
  void LookForTree();
  void FinishStartUp();
  void FailStartUp(const std::exception& failure);
  void AnnounceStartUp();
  void WireServerEvents();
  void ApplyListenRules();
  void StartServers();
  void StartWebView();
  // Refusals go to standard error and, posted, to the last actions.
  void ReportRefusalsOf(AllowedSenders& allowed);
  // Hands the web view a copy of what it shows of this thread's state.
  void PublishWebState();
  void ScheduleRecordWrite();
  // With a broker set: the forwarder and its positions, before the first sweep.
  void StartForwarding();
  void ReportWriteFaults();
  // Closes only the failing connection; the first time with a line for the operator.
  void HoldBackRestart(ServerConnection* Socket, const std::string& cause);

  std::string AlarmUnitName;
  std::string ControlUnitName;
  StartUpSettings settings_;
  std::unique_ptr<TreeLock> tree_lock_;
  QTimer* tree_wait_ = nullptr;
  std::string tree_refusal_;
  std::string start_failure_;  // the port that could not be opened, and why
  bool ending_ = false;
  RestartSpacing restart_spacing_;

  // Destroyed in reverse order: the unit link server (and its events) before
  // the dispatcher they call, the dispatcher before the store it uses; the
  // file transfer server stops once the unit link's listener is closed.
  // The forwarder stops after the store and before the positions it keeps.
  std::unique_ptr<ForwardLedger> forward_ledger_;
  std::unique_ptr<BrokerForwarder> forwarder_;
  std::unique_ptr<TDataController> store_;
  std::unique_ptr<TNetTrivialFTPServer> tftp_;
  std::unique_ptr<UnitReplies> replies_;
  std::unique_ptr<UnitCommandDispatcher> dispatcher_;
  std::unique_ptr<TCommunicationServer> server_;

  // What the web view shows; its server runs on a thread of its own.
  std::shared_ptr<WebState> web_state_;
  // Per unit name, its last text or file report (seconds since the epoch); at
  // most kLastSeenNames names, so that forged sender words cannot grow it.
  static constexpr std::size_t kLastSeenNames = 1024;
  std::map<std::string, std::int64_t> last_seen_;
  std::unique_ptr<WebServer> web_;
  QTimer* web_publish_ = nullptr;

  ErrorBoxQueue error_boxes_;
  FailureSink previous_sink_;
  bool trimming_log_ = false;
  // Gather appends between turns of the event loop (reads write them first).
  std::unique_ptr<MemoPane> log_pane_;
  std::unique_ptr<MemoPane> command_pane_;

  QWidget* client_ = nullptr;
  QStatusBar* status_bar1_ = nullptr;
  QPlainTextEdit* memo_log_ = nullptr;
  QListWidget* list_box_clients_ = nullptr;
  QMenuBar* main_menu1_ = nullptr;
  QMenu* f1_ = nullptr;
  QAction* exit1_ = nullptr;
  QMenu* view1_ = nullptr;
  QAction* sensors1_ = nullptr;
  QPointer<SensorWindow> sensor_window_;  // a child window, deleted when closed
  QMenu* help1_ = nullptr;
  QAction* about1_ = nullptr;
  QLineEdit* edit1_ = nullptr;
  QPlainTextEdit* memo_commands_ = nullptr;
  QPushButton* button1_ = nullptr;
  QTimer* timer_delete_log_ = nullptr;
  QLabel* label1_ = nullptr;
  QLabel* label2_ = nullptr;
  QFrame* bevel1_ = nullptr;
  QLabel* label3_ = nullptr;
  QLabel* label4_ = nullptr;
  QPushButton* button2_ = nullptr;
};
