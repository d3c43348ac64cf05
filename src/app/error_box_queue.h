// The operator's error box: shows each failure report in a modal box, one box
// at a time. Reports that arrive while a box is open (or before the event loop
// has shown the previous one) wait in a bounded queue and are shown in turn,
// each from the event loop, never from inside the handler that failed and
// never nested. Main thread only.
#pragma once

#include <QObject>
#include <QString>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>

#include "base/failure_report.h"

class QWidget;

// Shows one modal box (error icon, OK, title "DataController") with text, as
// Latin-1, over parent (may be null); returns when the operator pressed OK.
void ShowModalErrorBox(QWidget* parent, const std::string& text);

class ErrorBoxQueue : public QObject {
  Q_OBJECT

 public:
  // Shows one box and returns when it is closed; must not throw. Tests
  // inject a recorder.
  using Presenter = std::function<void(const std::string& text)>;

  // The most reports that wait for a box; older ones are dropped first.
  static constexpr std::size_t kCapacity = 100;

  explicit ErrorBoxQueue(Presenter presenter, QObject* parent = nullptr);

  // Queues text for a box and schedules its showing on the event loop.
  // Never blocks and never opens a box itself.
  void Enqueue(const std::string& text);

  // A failure sink that feeds this queue; valid while the queue lives.
  FailureSink Sink();

  std::size_t Waiting() const { return waiting_.size(); }
  std::size_t Dropped() const { return dropped_; }
  bool BoxOpen() const { return box_open_; }

  // The note added to the next box after reports were dropped.
  static std::string DroppedNote(std::size_t dropped);

 private:
  void ScheduleNext();
  void ShowNext();
  std::string TakeNext();

  Presenter presenter_;
  std::deque<std::string> waiting_;
  std::size_t dropped_ = 0;
  bool box_open_ = false;
  bool scheduled_ = false;
};
