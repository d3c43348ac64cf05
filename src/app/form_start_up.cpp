// The main window's start-up wiring, unit list, file report line, hourly
// sweep and restart: everything the window does with the data store and the
// unit link server.
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QTimer>

#include "app/form_data_controller.h"
#include "app/program_launch.h"
#include "app/unit_command_dispatcher.h"
#include "base/failure_report.h"
#include "link/communication_server.h"
#include "store/data_controller.h"
#include "tftp/net_trivial_ftp_server.h"
#include "web/web_state.h"

namespace {

constexpr int kRetentionDays = 7;

// The dispatcher's view of the unit link server.
class ServerReplies : public UnitReplies {
 public:
  explicit ServerReplies(TCommunicationServer& server) : server_(server) {}
  void SendTextTo(const std::string& name, const std::string& text) override {
    server_.SendTextTo(name, text);
  }
  int Connection_count() const override { return server_.Connection_count(); }
  std::string NameAt(int index) const override { return server_.NameAt(index); }

 private:
  TCommunicationServer& server_;
};

QString Latin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

// Order matters: without ".\log\" the sweep raises and start-up stops there,
// leaving the window without any server or open port.
void TFormDataController::FormCreate() {
  StartWebView();
  store_ = std::make_unique<TDataController>(settings_.startDirectory);
  store_->UseStandardNames();
  store_->SetRetentionDays(kRetentionDays);
  store_->DeleteOldData();
  store_->GatherRecords([this] { ScheduleRecordWrite(); });

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
  StartServers();
  PublishWebState();
}

// The web view starts first and apart: a program that cannot open its ports
// (or lacks log/) still shows why, and a taken web port stops nothing else.
void TFormDataController::StartWebView() {
  if (!settings_.web) return;
  web_state_ = std::make_shared<WebState>();
  web_ = std::make_unique<WebServer>(web_state_, settings_.startDirectory);
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
  state.alarmUnit = AlarmUnitName;
  state.controlUnit = ControlUnitName;
  web_state_->Publish(std::move(state));
}

// The unit link listens first: when it cannot, file transfer stays inactive.
void TFormDataController::StartServers() {
  server_->StartServers();
  tftp_->SetActive(true);
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

void TFormDataController::HandleUnitText(std::string Text, std::string ClientName) {
  dispatcher_->HandleUnitText(std::move(Text), ClientName);
}

void TFormDataController::HandleUnitFile(std::string Filename, std::string ClientName) {
  AddLogLine(ClientName + " saved file " + Filename + ".");
}

// The list stays sorted from the first refresh on; a name registered twice is listed twice.
void TFormDataController::HandleConnectCount() {
  ListBoxClients()->clear();
  Edit1()->setText(QString::number(server_->Connection_count()));
  for (int i = 0; i < server_->Connection_count(); ++i)
    ListBoxClients()->addItem(Latin1(server_->NameAt(i)));
  ListBoxClients()->setSortingEnabled(true);
  ListBoxClients()->sortItems();
  PublishWebState();
}

// Every error on a registered unit's connection restarts the whole program.
// A connection that never registered (a port probe, a health check) is only closed.
void TFormDataController::HandleClientError(ServerConnection* Socket, TErrorEvent, int& ErrorCode) {
  ErrorCode = 0;
  if (TCommunicationServer::IsUnitConnection(*Socket)) return RestartProgram();
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

// Both ports are released before the new instance starts, so that it can
// open them; the connections are dropped without goodbye and the name table
// is left as it was. Transfers under way go on (main waits for them).
void TFormDataController::RestartProgram() {
  WriteGatheredRecords();  // before the new instance can append behind them
  ReleaseListeners();
  close();
  LaunchOwnExecutableDetached();
}

void TFormDataController::ReleaseListeners() {
  if (server_) server_->CloseListener();
  if (tftp_) tftp_->SetActive(false);
  if (web_) web_->Stop();
  PublishWebState();
}
