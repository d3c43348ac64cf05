#include "app/form_data_controller.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/event_loop.h"
#include "app/memo_pane.h"
#include "app/sensor_window.h"
#include "app/temporary_tree.h"
#include "base/exceptions.h"

namespace {

std::vector<std::string> Numbered(const std::string& prefix, int first, int last) {
  std::vector<std::string> lines;
  for (int i = first; i <= last; ++i) lines.push_back(prefix + std::to_string(i));
  return lines;
}

class FormDataControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = std::make_unique<TFormDataController>(
        [this](const std::string& text) { boxes_.push_back(text); }, tree_.Settings());
  }

  TFormDataController& Window() { return *window_; }
  QWidget* Named(const char* name) {
    return window_->findChild<QWidget*>(QString::fromLatin1(name));
  }

  TemporaryTree tree_;
  std::vector<std::string> boxes_;
  std::unique_ptr<TFormDataController> window_;
};

TEST_F(FormDataControllerTest, CaptionsAndInitialTexts) {
  EXPECT_EQ(Window().windowTitle(), "DataController");
  EXPECT_EQ(Window().Label4()->text(), "Data Unit");
  EXPECT_EQ(Window().Label1()->text(), "Connected units");
  EXPECT_EQ(Window().Label2()->text(), "Connection count");
  EXPECT_EQ(Window().Label3()->text(), "Last actions");
  EXPECT_EQ(Window().ClientArea()->findChild<QLabel*>("Label5")->text(), "Unit commands");
  EXPECT_EQ(Window().Button1()->text(), "Clear last actions");
  EXPECT_EQ(Window().Button2()->text(), "ReBoot");
  EXPECT_EQ(Window().Edit1()->text(), "0");
  EXPECT_EQ(Window().ListBoxClients()->count(), 0);
  EXPECT_TRUE(Window().LogLines().empty());
  EXPECT_TRUE(Window().CommandLines().empty());
  EXPECT_TRUE(Window().StatusBar1()->currentMessage().isEmpty());
  EXPECT_TRUE(Window().AlarmUnit().empty());
  EXPECT_TRUE(Window().ControlUnit().empty());
}

TEST_F(FormDataControllerTest, MenuHoldsFileExitViewSensorsAndHelpAbout) {
  ASSERT_EQ(Window().menuBar(), Window().MainMenu1());
  QList<QAction*> top = Window().MainMenu1()->actions();
  ASSERT_EQ(top.size(), 3);
  EXPECT_EQ(top[0]->text(), "File");
  EXPECT_EQ(top[0]->menu(), Window().F1());
  EXPECT_EQ(top[1]->text(), "View");
  EXPECT_EQ(top[1]->menu(), Window().View1());
  EXPECT_EQ(top[2]->text(), "Help");
  EXPECT_EQ(top[2]->menu(), Window().Help1());
  ASSERT_EQ(Window().F1()->actions(), QList<QAction*>{Window().Exit1()});
  ASSERT_EQ(Window().View1()->actions(), QList<QAction*>{Window().Sensors1()});
  ASSERT_EQ(Window().Help1()->actions(), QList<QAction*>{Window().About1()});
  EXPECT_EQ(Window().Exit1()->text(), "Exit");
  EXPECT_EQ(Window().Sensors1()->text(), "Sensors");
  EXPECT_EQ(Window().About1()->text(), "About");
}

TEST_F(FormDataControllerTest, ViewSensorsOpensOneSensorWindowThatClosesOnItsOwn) {
  Window().show();
  Window().Sensors1()->trigger();
  QPointer<SensorWindow> sensors = Window().Sensors();
  ASSERT_NE(sensors, nullptr);
  EXPECT_TRUE(sensors->isVisible());
  EXPECT_EQ(sensors->windowTitle(), "Sensors");
  Window().Sensors1()->trigger();
  EXPECT_EQ(Window().Sensors(), sensors);
  sensors->close();
  ASSERT_TRUE(RunEventsUntil([&] { return sensors.isNull(); }));
  EXPECT_TRUE(Window().isVisible());
  EXPECT_TRUE(boxes_.empty());
}

// Whatever font the fallback gives: every widget lies inside the client area,
// none overlaps another and every label is large enough for its whole text.
TEST_F(FormDataControllerTest, WidgetsLieInsideTheClientAreaApartAndLabelsShowTheirText) {
  Window().show();
  ASSERT_TRUE(RunEventsUntil([&] { return Window().isVisible(); }));
  EXPECT_EQ(Window().minimumSize(), Window().maximumSize());
  EXPECT_FALSE(Window().windowFlags() & Qt::WindowMaximizeButtonHint);
  const QRect area = Window().ClientArea()->rect();
  const QList<QWidget*> widgets =
      Window().ClientArea()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  ASSERT_EQ(widgets.size(), 13);
  for (QWidget* widget : widgets) {
    const QString name = widget->objectName();
    EXPECT_TRUE(area.contains(widget->geometry())) << name.toStdString();
    for (QWidget* other : widgets) {
      EXPECT_TRUE(other == widget || !widget->geometry().intersects(other->geometry()))
          << name.toStdString() << " overlaps " << other->objectName().toStdString();
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      const QSize text = label->fontMetrics().size(0, label->text());
      EXPECT_GE(label->width(), text.width()) << name.toStdString();
      EXPECT_GE(label->height(), text.height()) << name.toStdString();
    }
  }
}

TEST_F(FormDataControllerTest, TabOrderRunsFromTheLogThroughTheButtons) {
  std::vector<QWidget*> expected{Window().MemoLog(), Window().ListBoxClients(),
                                 Window().Edit1(),   Window().MemoCommands(),
                                 Window().Button1(), Window().Button2()};
  std::vector<QWidget*> order;
  QWidget* widget = Window().MemoLog();
  do {
    if ((widget->focusPolicy() & Qt::TabFocus) && Window().ClientArea()->isAncestorOf(widget))
      order.push_back(widget);
    widget = widget->nextInFocusChain();
  } while (widget != Window().MemoLog() && order.size() < 20);
  EXPECT_EQ(order, expected);
  EXPECT_TRUE(Window().MemoLog()->tabChangesFocus());
  EXPECT_TRUE(Window().MemoCommands()->tabChangesFocus());
}

TEST_F(FormDataControllerTest, LogPaneKeepsTheFortyNewestLines) {
  for (const std::string& line : Numbered("line ", 1, 40)) Window().AddLogLine(line);
  EXPECT_EQ(Window().LogLines(), Numbered("line ", 1, 40));
  Window().AddLogLine("line 41");
  EXPECT_EQ(Window().LogLines(), Numbered("line ", 2, 41));
  for (const std::string& line : Numbered("line ", 42, 100)) Window().AddLogLine(line);
  EXPECT_EQ(Window().LogLines(), Numbered("line ", 61, 100));
  Window().AddLogLine("new 1\r\nnew 2\r\nnew 3");  // one change, three lines
  std::vector<std::string> lines = Window().LogLines();
  ASSERT_EQ(lines.size(), 40u);
  EXPECT_EQ(lines.front(), "line 64");
  EXPECT_EQ(lines.back(), "new 3");
}

// 1000 records of 4000 bytes: each write of the log pane, its trimming to
// forty lines included, is one change of the text, however long the lines.
TEST_F(FormDataControllerTest, EachWriteOfThePanesIsOneEditWhateverTheLinesLength) {
  int logEdits = 0;
  int commandEdits = 0;
  QObject::connect(Window().MemoLog()->document(), &QTextDocument::contentsChanged,
                   [&] { ++logEdits; });
  QObject::connect(Window().MemoCommands()->document(), &QTextDocument::contentsChanged,
                   [&] { ++commandEdits; });
  const std::string record(4000, 'r');
  for (int write = 1; write <= 10; ++write) {
    for (int i = 0; i < 100; ++i) {
      Window().AddLogLine(record);
      Window().AddCommandLine("DU_SAVELOG " + record);
    }
    Window().AddCommandLine("DU_CHECK");
    ASSERT_EQ(Window().LogLines().size(), 40u);
    EXPECT_EQ(Window().CommandLines().back(), "DU_CHECK");
    EXPECT_EQ(logEdits, write);
    EXPECT_EQ(commandEdits, write);
  }
}

// The pane measures a write after it is done: one that took long (here its
// layout sleeps) spaces the next write further than the usual interval.
TEST(MemoPaneTest, AWriteThatTookLongPutsOffTheNextOne) {
  QPlainTextEdit memo;
  MemoPane pane(&memo);
  QObject::connect(memo.document(), &QTextDocument::contentsChanged,
                   [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
  pane.Append("slow to lay out");
  pane.Flush();
  pane.Append("next");
  QList<QTimer*> timers = memo.findChildren<QTimer*>();
  auto next = std::find_if(timers.begin(), timers.end(), [](QTimer* t) { return t->isActive(); });
  ASSERT_NE(next, timers.end());
  EXPECT_GT((*next)->interval(), MemoPane::kMinWriteIntervalMs) << "the write was not measured";
}

TEST_F(FormDataControllerTest, CommandPaneKeepsTheTenThousandNewestLines) {
  for (const std::string& line : Numbered("DU_CHECK ", 1, 500)) Window().AddCommandLine(line);
  EXPECT_EQ(Window().CommandLines(), Numbered("DU_CHECK ", 1, 500));
  for (const std::string& line : Numbered("DU_CHECK ", 501, 10003)) Window().AddCommandLine(line);
  EXPECT_EQ(Window().CommandLines(),
            Numbered("DU_CHECK ", 4, 10003));  // the oldest went, across two writes
  Window().AddCommandLine("DU_CHECK 10004");
  std::vector<std::string> lines = Window().CommandLines();
  ASSERT_EQ(lines.size(), 10000u);
  EXPECT_EQ(lines.front(), "DU_CHECK 5");
  EXPECT_EQ(lines.back(), "DU_CHECK 10004");
}

// Long commands once grew the pane to gigabytes and held the event loop for
// tens of seconds: the pane keeps the newest lines that fit its character
// bound, whether they are trimmed before or after they were written.
TEST_F(FormDataControllerTest, CommandPaneKeepsWithinItsCharacterBoundAndShortensLongLines) {
  auto line = [](int i) {
    std::string text = "DU_CHECK " + std::to_string(100000 + i) + " ";
    return text + std::string(MemoPane::kMaxLineChars - text.size(), 'x');
  };
  const int count = static_cast<int>(2 * MemoPane::kMaxChars / MemoPane::kMaxLineChars);
  for (int i = 0; i < count; ++i) {
    Window().AddCommandLine(line(i));
    if (i == count / 2) Window().CommandLines();
  }
  std::vector<std::string> lines = Window().CommandLines();
  ASSERT_FALSE(lines.empty());
  std::size_t chars = 0;
  for (const std::string& kept : lines) chars += kept.size() + 1;
  EXPECT_LE(chars, static_cast<std::size_t>(MemoPane::kMaxChars));
  EXPECT_GT(chars + MemoPane::kMaxLineChars + 1, static_cast<std::size_t>(MemoPane::kMaxChars));
  EXPECT_EQ(lines.front(), line(count - static_cast<int>(lines.size())));
  EXPECT_EQ(lines.back(), line(count - 1));

  std::string huge = "DU_SAVELOG T1 " + std::string(60000, 'y');
  Window().AddCommandLine(huge);
  std::string shown = Window().CommandLines().back();
  ASSERT_GE(shown.size(), static_cast<std::size_t>(MemoPane::kMaxLineChars));
  EXPECT_TRUE(shown.compare(0, MemoPane::kMaxLineChars, huge, 0, MemoPane::kMaxLineChars) == 0);
  EXPECT_EQ(shown.substr(MemoPane::kMaxLineChars),
            " ...[" + std::to_string(huge.size() - MemoPane::kMaxLineChars) + " more bytes]");
}

TEST_F(FormDataControllerTest, LinesKeepEmptyAndEightBitTextAndSplitAtLineBreaks) {
  Window().AddCommandLine("");
  EXPECT_EQ(Window().CommandLines(), std::vector<std::string>{""});
  Window().AddCommandLine(
      "Temp 21\xb0"
      "C");
  Window().AddCommandLine("a\r\nb");
  EXPECT_EQ(Window().CommandLines(), (std::vector<std::string>{"",
                                                               "Temp 21\xb0"
                                                               "C",
                                                               "a", "b"}));
  Window().MemoCommands()->setPlainText("typed without a break");
  Window().AddCommandLine("next");
  EXPECT_EQ(Window().CommandLines(), (std::vector<std::string>{"typed without a break", "next"}));
}

TEST_F(FormDataControllerTest, ClearLastActionsEmptiesBothPanesAndTheCountStartsAgain) {
  for (const std::string& line : Numbered("log ", 1, 45)) Window().AddLogLine(line);
  for (const std::string& line : Numbered("cmd ", 1, 3)) Window().AddCommandLine(line);
  Window().Button1()->click();
  EXPECT_TRUE(Window().LogLines().empty());
  EXPECT_TRUE(Window().CommandLines().empty());
  for (const std::string& line : Numbered("again ", 1, 40)) Window().AddLogLine(line);
  EXPECT_EQ(Window().LogLines(), Numbered("again ", 1, 40));
}

TEST_F(FormDataControllerTest, AboutDoesNothingAndExitClosesTheWindow) {
  Window().show();
  ASSERT_TRUE(RunEventsUntil([&] { return Window().isVisible(); }));
  Window().AddLogLine("kept");
  Window().AddCommandLine("kept too");
  Window().Edit1()->setText("typed");
  Window().About1()->trigger();
  RunPendingEvents();
  EXPECT_TRUE(Window().isVisible());
  EXPECT_EQ(Window().LogLines(), std::vector<std::string>{"kept"});
  EXPECT_EQ(Window().CommandLines(), std::vector<std::string>{"kept too"});
  EXPECT_EQ(Window().Edit1()->text(), "typed");
  int shown_windows = 0;
  for (QWidget* top : QApplication::topLevelWidgets()) shown_windows += top->isVisible() ? 1 : 0;
  EXPECT_EQ(shown_windows, 1);
  EXPECT_TRUE(boxes_.empty());
  Window().Exit1()->trigger();
  RunPendingEvents();
  EXPECT_FALSE(Window().isVisible());
}

// A tick of the hourly timer sweeps: an old picture goes, the newest stays.
TEST_F(FormDataControllerTest, TimerDeleteLogSweepsHourlyFromCreation) {
  EXPECT_EQ(Window().TimerDeleteLog()->interval(), 3600000);
  EXPECT_FALSE(Window().TimerDeleteLog()->isSingleShot());
  const std::filesystem::path camera = tree_.Dir() + "/log/SU1/cam";
  std::filesystem::create_directories(camera);
  std::ofstream(camera / "old.jpg") << "jpeg";
  std::ofstream(camera / "new.jpg") << "jpeg";
  std::filesystem::last_write_time(
      camera / "old.jpg", std::filesystem::file_time_type::clock::now() - std::chrono::hours(240));
  Window().TimerDeleteLog()->setInterval(10);  // restarts it when it runs
  EXPECT_TRUE(WaitEventsUntil([&] { return !std::filesystem::exists(camera / "old.jpg"); }));
  EXPECT_TRUE(std::filesystem::exists(camera / "new.jpg"));
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(FormDataControllerTest, HandlerFailuresAreShownOneBoxEachWithTheMessageRule) {
  RunGuarded([] { throw Exception("Can't change into directory .\\log\\"); });
  RunGuarded([] { throw Exception("File does not exist!"); });
  RunGuarded([] { throw EAbort("quiet"); });
  RunGuarded([] { throw Exception("Config not found."); });
  EXPECT_TRUE(boxes_.empty());
  ASSERT_TRUE(RunEventsUntil([&] { return boxes_.size() == 3; }));
  RunPendingEvents();
  EXPECT_EQ(boxes_, (std::vector<std::string>{"Can't change into directory .\\log\\.",
                                              "File does not exist!", "Config not found."}));
}

TEST(FormDataControllerLifetimeTest, ClosingTheWindowGivesReportsBackToThePreviousSink) {
  std::vector<std::string> earlier;
  FailureSink outer = SetFailureSink([&](const std::string& text) { earlier.push_back(text); });
  {
    TemporaryTree tree;
    TFormDataController window([](const std::string&) {}, tree.Settings());
    RunGuarded([] { throw Exception("to the window"); });
  }
  RunGuarded([] { throw Exception("after the window"); });
  SetFailureSink(outer);
  EXPECT_EQ(earlier, std::vector<std::string>{"after the window."});
}

}  // namespace
