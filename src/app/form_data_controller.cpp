#include "app/form_data_controller.h"

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTimer>
#include <utility>

#include "app/memo_pane.h"
#include "app/sensor_window.h"
#include "app/unit_command_dispatcher.h"
#include "base/failure_report.h"
#include "link/communication_server.h"
#include "store/data_controller.h"
#include "store/tree_lock.h"
#include "tftp/net_trivial_ftp_server.h"
#include "web/web_state.h"

namespace {

// The window font: where "MS Sans Serif" is missing, the style hint makes the
// font matcher fall back to the platform's sans-serif at the same pixel size.
QFont WindowFont() {
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  return font;
}

QFont BoldFont(const QFont& base, int pixel_size) {
  QFont font(base);
  font.setBold(true);
  font.setPixelSize(pixel_size);
  return font;
}

class FixedItemHeight : public QStyledItemDelegate {
 public:
  FixedItemHeight(int height, QObject* parent) : QStyledItemDelegate(parent), height_(height) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(height_);
    return size;
  }

 private:
  int height_;
};

// Multi-line pane without scroll bars whose long lines wrap; Tab leaves it.
QPlainTextEdit* NewMemo(QWidget* parent, const char* name, QRect geometry) {
  auto* memo = new QPlainTextEdit(parent);
  memo->setObjectName(QString::fromLatin1(name));
  memo->setGeometry(geometry);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo->setTabChangesFocus(true);
  memo->setUndoRedoEnabled(false);  // an undo history of every line would grow without bound
  memo->setFocusPolicy(Qt::StrongFocus);
  return memo;
}

QPushButton* NewButton(QWidget* parent, const char* name, const char* text, QRect geometry) {
  auto* button = new QPushButton(QString::fromLatin1(text), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(geometry);
  return button;
}

}  // namespace

TFormDataController::TFormDataController(ErrorBoxQueue::Presenter presenter,
                                         StartUpSettings settings, QWidget* parent)
    : QMainWindow(parent),
      settings_(std::move(settings)),
      restart_spacing_(settings_.lastErrorRestart),
      error_boxes_(presenter ? std::move(presenter)
                             : ErrorBoxQueue::Presenter([this](const std::string& text) {
                                 ShowModalErrorBox(this, text);
                               })) {
  previous_sink_ = SetFailureSink(error_boxes_.Sink());
  BuildWindow();
  ConnectHandlers();
  timer_delete_log_->start();
  RunGuarded([this] { FormCreate(); });
}

TFormDataController::~TFormDataController() {
  // No line for a window that is gone.
  for (const auto& allowed : {settings_.senders, settings_.webClients}) {
    if (allowed) allowed->SetReport({});
  }
  web_.reset();
  server_.reset();
  if (store_) store_->Faults().SetReport(WriteFailureLine);  // the panes go before the store
  SetFailureSink(std::move(previous_sink_));
}

void TFormDataController::BuildWindow() {
  setObjectName(QStringLiteral("FormDataController"));
  setWindowTitle(QStringLiteral("DataController"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFont(WindowFont());
  QPalette colours = palette();
  colours.setColor(QPalette::Window, colours.color(QPalette::Button));
  setPalette(colours);

  client_ = new QWidget(this);
  client_->setObjectName(QStringLiteral("ClientArea"));
  client_->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client_);
  BuildMenu();
  BuildLabels();
  BuildUnitPanel();
  BuildPanes();
  BuildStatusBar();
  SetTabOrder();

  timer_delete_log_ = new QTimer(this);
  timer_delete_log_->setObjectName(QStringLiteral("TimerDeleteLog"));
  timer_delete_log_->setInterval(kDeleteLogIntervalMs);

  move(kLeft, kTop);
  setFixedSize(kClientWidth, main_menu1_->sizeHint().height() + kClientHeight);
}

void TFormDataController::BuildMenu() {
  main_menu1_ = menuBar();
  main_menu1_->setObjectName(QStringLiteral("MainMenu1"));
  f1_ = main_menu1_->addMenu(QStringLiteral("File"));
  f1_->setObjectName(QStringLiteral("F1"));
  exit1_ = f1_->addAction(QStringLiteral("Exit"));
  exit1_->setObjectName(QStringLiteral("Exit1"));
  view1_ = main_menu1_->addMenu(QStringLiteral("View"));
  view1_->setObjectName(QStringLiteral("View1"));
  sensors1_ = view1_->addAction(QStringLiteral("Sensors"));
  sensors1_->setObjectName(QStringLiteral("Sensors1"));
  help1_ = main_menu1_->addMenu(QStringLiteral("Help"));
  help1_->setObjectName(QStringLiteral("Help1"));
  about1_ = help1_->addAction(QStringLiteral("About"));
  about1_->setObjectName(QStringLiteral("About1"));
}

// The sizes are those of the text in "MS Sans Serif"; like an auto-sized label
// it grows to show all of its text when the fallback font is larger: wider
// (towards the left for a caption that stands right before its field) and taller.
QLabel* TFormDataController::NewLabel(const char* name, const char* text, QRect geometry,
                                      int bold_pixel_size, bool widen_leftwards) {
  auto* label = new QLabel(QString::fromLatin1(text), client_);
  label->setObjectName(QString::fromLatin1(name));
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  if (bold_pixel_size > 0) label->setFont(BoldFont(font(), bold_pixel_size));
  const QSize hint = label->sizeHint();
  if (hint.width() > geometry.width()) {
    if (widen_leftwards)
      geometry.setLeft(geometry.right() + 1 - hint.width());
    else
      geometry.setWidth(hint.width());
  }
  if (hint.height() > geometry.height()) geometry.setHeight(hint.height());
  label->setGeometry(geometry);
  return label;
}

void TFormDataController::BuildLabels() {
  bevel1_ = new QFrame(client_);
  bevel1_->setObjectName(QStringLiteral("Bevel1"));
  bevel1_->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  bevel1_->setGeometry(0, 0, 729, 3);
  label4_ = NewLabel("Label4", "Data Unit", QRect(8, 8, 144, 37), 32);
  label1_ = NewLabel("Label1", "Connected units", QRect(8, 48, 111, 16), 13);
  label2_ = NewLabel("Label2", "Connection count", QRect(24, 340, 84, 13), 0, true);
  label3_ = NewLabel("Label3", "Last actions", QRect(192, 48, 84, 16), 13);
  NewLabel("Label5", "Unit commands", QRect(752, 48, 104, 16), 13);  // the right pane's title
}

void TFormDataController::BuildUnitPanel() {
  list_box_clients_ = new QListWidget(client_);
  list_box_clients_->setObjectName(QStringLiteral("ListBoxClients"));
  list_box_clients_->setGeometry(8, 72, 169, 249);
  list_box_clients_->setUniformItemSizes(true);
  list_box_clients_->setItemDelegate(new FixedItemHeight(13, list_box_clients_));
  edit1_ = new QLineEdit(QStringLiteral("0"), client_);
  edit1_->setObjectName(QStringLiteral("Edit1"));
  edit1_->setGeometry(120, 336, 57, 21);
  button1_ = NewButton(client_, "Button1", "Clear last actions", QRect(80, 376, 97, 33));
  button2_ = NewButton(client_, "Button2", "ReBoot", QRect(80, 416, 97, 33));
}

void TFormDataController::BuildPanes() {
  memo_log_ = NewMemo(client_, "MemoLog", QRect(192, 72, 537, 545));
  memo_log_->setReadOnly(true);
  memo_log_->setFrameStyle(QFrame::Box | QFrame::Plain);
  memo_log_->setLineWidth(1);
  memo_commands_ = NewMemo(client_, "MemoCommands", QRect(752, 72, 617, 553));
  log_pane_ = std::make_unique<MemoPane>(memo_log_, kLogLineLimit);
  command_pane_ = std::make_unique<MemoPane>(memo_commands_, kCommandLineLimit);
}

void TFormDataController::BuildStatusBar() {
  status_bar1_ = new QStatusBar(client_);
  status_bar1_->setObjectName(QStringLiteral("StatusBar1"));
  status_bar1_->setSizeGripEnabled(false);
  status_bar1_->setGeometry(0, 625, 1388, 26);
}

void TFormDataController::SetTabOrder() {
  setTabOrder(memo_log_, list_box_clients_);
  setTabOrder(list_box_clients_, edit1_);
  setTabOrder(edit1_, memo_commands_);
  setTabOrder(memo_commands_, button1_);
  setTabOrder(button1_, button2_);
  memo_log_->setFocus();
}

// About1 is deliberately left unconnected: choosing it does nothing.
void TFormDataController::ConnectHandlers() {
  connect(button1_, &QPushButton::clicked, this,
          [this] { RunGuarded([this] { Button1Click(); }); });
  connect(button2_, &QPushButton::clicked, this,
          [this] { RunGuarded([this] { Button2Click(); }); });
  connect(exit1_, &QAction::triggered, this, [this] { RunGuarded([this] { Exit1Click(); }); });
  connect(sensors1_, &QAction::triggered, this, [this] { RunGuarded([this] { SensorsClick(); }); });
  connect(timer_delete_log_, &QTimer::timeout, this,
          [this] { RunGuarded([this] { TimerDeleteLogTimer(); }); });
  connect(memo_log_, &QPlainTextEdit::textChanged, this,
          [this] { RunGuarded([this] { MemoLogChange(); }); });
}

void TFormDataController::Button1Click() {
  log_pane_->Clear();
  command_pane_->Clear();
  if (web_state_) web_state_->ClearPanes();
}

void TFormDataController::Button2Click() { RestartProgram(); }

void TFormDataController::Exit1Click() { EndInstance(); }

SensorWindow* TFormDataController::Sensors() const { return sensor_window_; }

void TFormDataController::SensorsClick() {
  if (!sensor_window_) {
    PathResolver tree(settings_.startDirectory);
    sensor_window_ = new SensorWindow(QString::fromStdString(tree.Resolve(".\\log\\")),
                                      ShortDateFormat::FromEnvironment(), settings_.retentionDays,
                                      this);
    sensor_window_->setAttribute(Qt::WA_DeleteOnClose);
  }
  sensor_window_->show();
  sensor_window_->raise();
  sensor_window_->activateWindow();
}

// Deleting lines changes the text again; the flag keeps that from recursing.
// All lines over the limit go in one edit: the pane is laid out once, however
// long its lines.
void TFormDataController::MemoLogChange() {
  if (trimming_log_) return;
  trimming_log_ = true;
  log_pane_->DeleteFirstLines(log_pane_->LineCount() - kLogLineLimit);
  trimming_log_ = false;
}

void TFormDataController::AddLogLine(const std::string& line) {
  log_pane_->Append(line);
  if (web_state_) web_state_->AddAction(line);
}

void TFormDataController::AddCommandLine(const std::string& line) {
  command_pane_->Append(line);
  if (web_state_) web_state_->AddCommand(line);
}

std::vector<std::string> TFormDataController::LogLines() const { return log_pane_->Lines(); }

std::vector<std::string> TFormDataController::CommandLines() const {
  return command_pane_->Lines();
}
