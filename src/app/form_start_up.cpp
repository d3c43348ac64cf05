// The main window's start-up wiring, unit list, file report line, hourly
// sweep and restart: everything the window does with the data store and the
// unit link server.
#include <QApplication>
#include <QDateTime>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QTimer>

#include "app/form_data_controller.h"
#include "app/program_launch.h"
#include "app/service_notice.h"
#include "app/unit_command_dispatcher.h"
#include "base/exceptions.h"
#include "base/failure_report.h"
#include "forward/broker_forwarder.h"
#include "link/communication_server.h"
#include "link/socket_ops.h"
#include "store/data_controller.h"
#include "store/forward_ledger.h"
#include "store/tree_lock.h"
#include "tftp/net_trivial_ftp_server.h"
#include "web/web_state.h"

namespace {

// How often a restarted instance looks whether the ending one has let go of the tree.
constexpr int kTreeWaitPollMs = 20;

// The dispatcher's view of the unit link server.
class ServerReplies : public UnitReplies {
 public:
  explicit ServerReplies(TCommunicationServer& server) : server_(server) {}
  void SendTextTo(const std::string& name, const std::string& text) override {
    server_.SendTextTo(name, text);
  }
  int Connection_count() const override { return server_.Connection_count(); }
  std::string NameAt(int index) const override { return server_.NameAt(index); }
  void HoldSender(std::chrono::milliseconds span, std::function<void()> then) override {
    server_.HoldSender(span, std::move(then));
  }

 private:
  TCommunicationServer& server_;
};

QString Latin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

const char* EventName(TErrorEvent event) {
  switch (event) {
    case TErrorEvent::ekSend:
      return "send";
    case TErrorEvent::ekReceive:
      return "receive";
    case TErrorEvent::ekConnect:
      return "connect";
    case TErrorEvent::ekDisconnect:
      return "disconnect";
    case TErrorEvent::ekAccept:
      return "accept";
    case TErrorEvent::ekLookup:
      return "lookup";
    case TErrorEvent::ekGeneral:
      break;
  }
  return "general";
}

// Runs open; a failure is passed on, and kept in failure, with the port it concerns.
template <typename Open>
void OpenPort(const std::string& port, std::string& failure, Open open) {
  try {
    open();
  } catch (const std::exception& error) {
    failure = port + ": " + error.what();
    throw Exception(failure);
  }
}

}  // namespace

// Only one instance works on a tree: an instance started by hand beside a
// running one stops here, before it touches the tree or a port; one that a
// restart launched waits until the ending instance has let go.
void TFormDataController::FormCreate() {
  tree_lock_ = std::make_unique<TreeLock>(settings_.startDirectory);
  bool taken = false;
  try {
    taken = tree_lock_->TryTake();
  } catch (const std::exception& failure) {
    return FailStartUp(failure);
  }
  if (taken) return FinishStartUp();
  if (settings_.waitForTree) return WaitForTree();
  tree_refusal_ = "Another instance of the data unit is running in " + settings_.startDirectory +
                  "; this one ends without touching its data or ports";
  WriteFailureLine(tree_refusal_);
  AddLogLine(tree_refusal_);
}

std::unique_ptr<TreeLock> TFormDataController::HandOverTreeLock() { return std::move(tree_lock_); }

void TFormDataController::WaitForTree() {
  const std::string waiting = "Waiting for the ending instance to release the data tree";
  AddLogLine(waiting);
  NotifyServiceStatus(waiting);
  tree_wait_ = new QTimer(this);
  tree_wait_->setInterval(kTreeWaitPollMs);
  connect(tree_wait_, &QTimer::timeout, this, [this] { RunGuarded([this] { LookForTree(); }); });
  tree_wait_->start();
}

void TFormDataController::FinishStartUp() {
  try {
    OpenTree();
  } catch (const std::exception& failure) {
    return FailStartUp(failure);
  }
  AnnounceStartUp();
}

void TFormDataController::LookForTree() {
  bool taken = false;
  try {
    taken = tree_lock_->TryTake();
  } catch (const std::exception& failure) {
    tree_wait_->stop();
    return FailStartUp(failure);
  }
  if (!taken) return;
  tree_wait_->stop();
  NotifyServiceStatus("");  // the waiting note is over
  AddLogLine("The data tree is free: starting");
  FinishStartUp();
}

// What start-up could not open is kept with its port, for the service manager.
void TFormDataController::FailStartUp(const std::exception& failure) {
  if (start_failure_.empty()) start_failure_ = std::string("no port opened: ") + failure.what();
  ReportFailure(failure);
  AnnounceStartUp();
}

// A service manager hears that the instance serves; one that cannot serve
// ends at once with a non-zero status under a service manager, so that the
// manager sees it fail. On a desktop it stays (error box, degraded state).
void TFormDataController::AnnounceStartUp() {
  const bool serving = server_ && server_->Active() && tftp_ && tftp_->Active();
  if (serving) return NotifyServiceReady();
  if (!UnderServiceManager() || ending_) return;
  WriteFailureLine("Cannot serve, ending: " + start_failure_);
  QMetaObject::invokeMethod(
      qApp, [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
}

// Order matters: without ".\log\" the sweep raises and start-up stops there,
// leaving the window without any server or open port.
void TFormDataController::OpenTree() {
  StartWebView();
  store_ = std::make_unique<TDataController>(settings_.startDirectory);
  store_->UseStandardNames();
  store_->SetRetentionDays(settings_.retentionDays);
  StartForwarding();
  store_->DeleteOldData();
  store_->GatherRecords([this] { ScheduleRecordWrite(); });
  ReportWriteFaults();

  server_ = std::make_unique<TCommunicationServer>();
  server_->SetPort(settings_.unitLinkPort);
  tftp_ = std::make_unique<TNetTrivialFTPServer>(settings_.startDirectory);
  tftp_->SetDefaultPort(settings_.fileTransferPort);
  replies_ = std::make_unique<ServerReplies>(*server_);
  UnitCommandDispatcher::Panes panes{[this](const std::string& line) { AddCommandLine(line); },
                                     [this](const std::string& line) { AddLogLine(line); }};
  dispatcher_ = std::make_unique<UnitCommandDispatcher>(*store_, *replies_, panes, AlarmUnitName,
                                                        ControlUnitName);
  WireServerEvents();
  ApplyListenRules();
  StartServers();
  PublishWebState();
  // The tree's other top folders, so that a first store into them by file transfer works.
  store_->MakeDirectory(store_->ConfigDir);
  store_->MakeDirectory(store_->AlarmDir);
}

// What could not be written goes to the journal and the last actions, at
// most once a second per reason; what waited for its second follows.
void TFormDataController::ReportWriteFaults() {
  store_->Faults().SetReport([this](const std::string& line) {
    WriteFailureLine(line);
    AddLogLine(line);
  });
  auto* due = new QTimer(this);
  due->setInterval(std::chrono::milliseconds(WriteFaults::kReportInterval));
  connect(due, &QTimer::timeout, this,
          [this] { RunGuarded([this] { store_->Faults().ReportDue(); }); });
  due->start();
}

// The web view starts first and apart: a program that cannot open its ports
// (or lacks log/) still shows why, and a taken web port stops nothing else.
void TFormDataController::StartWebView() {
  if (!settings_.web) return;
  web_state_ = std::make_shared<WebState>(settings_.retentionDays, settings_.staleAfterSeconds);
  if (settings_.webClients) ReportRefusalsOf(*settings_.webClients);
  web_ = std::make_unique<WebServer>(web_state_, settings_.startDirectory, settings_.webClients);
  web_publish_ = new QTimer(this);
  web_publish_->setInterval(kWebPublishIntervalMs);
  connect(web_publish_, &QTimer::timeout, this,
          [this] { RunGuarded([this] { PublishWebState(); }); });
  web_publish_->start();
  RunGuarded([this] { web_->Start(*settings_.web); });
}

void TFormDataController::PublishWebState() {
  if (!web_state_) return;
  OverviewState state;
  if (server_) {
    for (int i = 0; i < server_->Connection_count(); ++i) state.units.push_back(server_->NameAt(i));
    state.unitLink = {server_->BoundPort() ? server_->BoundPort() : server_->Port(),
                      server_->Active()};
    state.connections = server_->Listener().ConnectionCount();
  }
  if (tftp_) {
    state.fileTransfer = {tftp_->LocalPort() ? tftp_->LocalPort() : tftp_->DefaultPort(),
                          tftp_->Active()};
  }
  for (const auto& allowed : {settings_.senders, settings_.webClients}) {
    if (!allowed) continue;
    for (const auto& [address, count] : allowed->RefusedCounts())
      state.refusedSenders[address] += count;
  }
  state.lastSeen = last_seen_;
  state.alarmUnit = AlarmUnitName;
  state.controlUnit = ControlUnitName;
  web_state_->Publish(std::move(state));
}

// Refusals come from the unit link (main thread), file transfer (its
// listener thread) and the web view (its own thread); the window's line is
// posted, so it is added on the main thread.
void TFormDataController::ApplyListenRules() {
  server_->Listener().SetLocalAddress(settings_.listenAddress);
  tftp_->SetLocalAddress(Ipv4Text(settings_.listenAddress));
  if (!settings_.senders) return;
  ReportRefusalsOf(*settings_.senders);
  server_->Listener().SetAllowedSenders(settings_.senders);
  tftp_->SetAllowedSenders(settings_.senders);
}

void TFormDataController::ReportRefusalsOf(AllowedSenders& allowed) {
  allowed.SetReport([this](const std::string& line) {
    WriteNoticeLine(line);
    QMetaObject::invokeMethod(
        this, [this, line] { AddLogLine(line); }, Qt::QueuedConnection);
  });
}

// The unit link listens first: when it cannot, file transfer stays inactive.
void TFormDataController::StartServers() {
  OpenPort("TCP port " + std::to_string(settings_.unitLinkPort), start_failure_,
           [this] { server_->StartServers(); });
  OpenPort("UDP port " + std::to_string(settings_.fileTransferPort), start_failure_,
           [this] { tftp_->SetActive(true); });
}

void TFormDataController::WireServerEvents() {
  server_->OnClientReadText = [this](TCommunicationServer*, std::string Text,
                                     std::string ClientName) {
    HandleUnitText(std::move(Text), std::move(ClientName));
  };
  server_->OnClientReadFile = [this](TCommunicationServer*, std::string Filename,
                                     std::string ClientName) {
    HandleUnitFile(std::move(Filename), std::move(ClientName));
  };
  server_->OnClientConnectCount = [this](TCommunicationServer*) { HandleConnectCount(); };
  server_->Listener().OnClientError = [this](TServerSocket*, ServerConnection* Socket,
                                             TErrorEvent ErrorEvent, int& ErrorCode) {
    HandleClientError(Socket, ErrorEvent, ErrorCode);
  };
}

// A failure names the unit and the start of its text (the command).
void TFormDataController::HandleUnitText(std::string Text, std::string ClientName) {
  NoteLastSeen(ClientName);
  constexpr std::size_t kShownBytes = 80;
  std::string shown = ClientName + " " + Text.substr(0, kShownBytes);
  try {
    dispatcher_->HandleUnitText(std::move(Text), ClientName);
  } catch (const EAbort&) {
    throw;
  } catch (const std::exception& failure) {
    throw Exception(shown + ": " + failure.what());
  }
}

// The records before the report are written, and shown, first.
void TFormDataController::HandleUnitFile(std::string Filename, std::string ClientName) {
  WriteGatheredRecords();
  NoteLastSeen(ClientName);
  AddLogLine(ClientName + " saved file " + Filename + ".");
}

void TFormDataController::NoteLastSeen(const std::string& unit) {
  if (last_seen_.size() >= kLastSeenNames && !last_seen_.count(unit)) return;
  last_seen_[unit] = QDateTime::currentSecsSinceEpoch();
  for (QListWidgetItem* item : ListBoxClients()->findItems(Latin1(unit), Qt::MatchExactly))
    ShowLastSeen(item);
}

void TFormDataController::ShowLastSeen(QListWidgetItem* item) const {
  auto seen = last_seen_.find(item->text().toLatin1().toStdString());
  if (seen == last_seen_.end()) return;
  item->setToolTip(QStringLiteral("Last message ") +
                   QDateTime::fromSecsSinceEpoch(seen->second).toString("yyyy-MM-dd HH:mm:ss t"));
}

// The list stays sorted from the first refresh on; a name registered twice is listed twice.
void TFormDataController::HandleConnectCount() {
  ListBoxClients()->clear();
  Edit1()->setText(QString::number(server_->Connection_count()));
  for (int i = 0; i < server_->Connection_count(); ++i) {
    ListBoxClients()->addItem(Latin1(server_->NameAt(i)));
    ShowLastSeen(ListBoxClients()->item(ListBoxClients()->count() - 1));
  }
  ListBoxClients()->setSortingEnabled(true);
  ListBoxClients()->sortItems();
  PublishWebState();
  if (!forwarder_) return;
  std::vector<std::string> names;
  for (int i = 0; i < server_->Connection_count(); ++i) names.push_back(server_->NameAt(i));
  forwarder_->SetRegisteredUnits(names);
}

void TFormDataController::StartForwarding() {
  if (settings_.mqtt.host.empty()) return;
  forward_ledger_ = std::make_unique<ForwardLedger>(settings_.startDirectory);
  store_->SetForwardLedger(forward_ledger_.get());
  BrokerForwarder::Setup setup;
  setup.broker = settings_.mqtt;
  setup.hostLogDirectory = store_->Resolver().Resolve(store_->LogDir);
  setup.hostAlarmDirectory = store_->Resolver().Resolve(store_->AlarmDir);
  setup.allLogName = store_->AllLogName + store_->DataExt;
  setup.dataExt = store_->DataExt;
  setup.format = ShortDateFormat::FromEnvironment();
  setup.notice = [this](const std::string& line) {
    WriteNoticeLine(line);
    QMetaObject::invokeMethod(
        this, [this, line] { AddLogLine(line); }, Qt::QueuedConnection);
  };
  forwarder_ = std::make_unique<BrokerForwarder>(std::move(setup), *forward_ledger_);
}

// Every error on a registered unit's connection restarts the whole program,
// unless a restart that one caused is recent: then only that connection closes.
// A connection that never registered (a port probe, a health check) is only closed.
// While this instance ends, errors change nothing: the listener closes them all.
void TFormDataController::HandleClientError(ServerConnection* Socket, TErrorEvent ErrorEvent,
                                            int& ErrorCode) {
  const int code = ErrorCode;
  ErrorCode = 0;
  if (ending_) return;
  if (!TCommunicationServer::IsUnitConnection(*Socket)) return Socket->Close();
  std::string name = server_ ? server_->NameOf(Socket) : std::string();
  std::string cause = "the connection of unit " +
                      (name.empty() ? std::string("(name removed)") : name) + " reported error " +
                      std::to_string(code) + " (" + socket_ops::ErrorText(code) + ") on " +
                      EventName(ErrorEvent);
  if (!restart_spacing_.ErrorMayRestart()) return HoldBackRestart(Socket, cause);
  RestartProgram(cause);
}

void TFormDataController::HoldBackRestart(ServerConnection* Socket, const std::string& cause) {
  if (restart_spacing_.FirstHeldBack()) {
    const std::string line = "Not restarting: " + cause + " within " +
                             std::to_string(RestartSpacing::kSpacing.count()) +
                             " s of the last restart for a connection error; until then such "
                             "connections are only closed";
    WriteNoticeLine(line);
    AddLogLine(line);
  }
  Socket->Close();
}

void TFormDataController::TimerDeleteLogTimer() { store_->DeleteOldData(); }

// A posted call runs before the event loop waits again: the records gathered
// in this turn are written before the program goes idle.
void TFormDataController::ScheduleRecordWrite() {
  QMetaObject::invokeMethod(
      this, [this] { RunGuarded([this] { WriteGatheredRecords(); }); }, Qt::QueuedConnection);
}

void TFormDataController::WriteGatheredRecords() {
  if (store_) store_->WriteGatheredRecords();
}

void TFormDataController::RestartProgram() { RestartProgram("ReBoot"); }

// The new instance waits for the tree until this one has ended (main ends
// its transfers within a limit); the connections are dropped without
// goodbye and the name table is left as it was.
void TFormDataController::RestartProgram(const std::string& cause) {
  if (ending_) return;
  WriteNoticeLine("Restarting: " + cause);
  EndInstance();
  LaunchOwnExecutableDetached(restart_spacing_.LastErrorRestart());
}

void TFormDataController::EndInstance() {
  if (ending_) return;
  ending_ = true;
  if (tree_wait_) tree_wait_->stop();
  ReleaseListeners();
  close();
}

// Every byte the units sent before is read and carried out (replies can no
// longer go out) and the gathered records are written, then both ports close.
void TFormDataController::ReleaseListeners() {
  if (server_) server_->TakeEverythingReceived();
  WriteGatheredRecords();
  if (server_) server_->CloseListener();
  if (tftp_) tftp_->SetActive(false);
  if (web_) web_->Stop();
  PublishWebState();
}
