#include "app/error_box_queue.h"

#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <utility>

void ShowModalErrorBox(QWidget* parent, const std::string& text) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("DataController"),
                  QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())),
                  QMessageBox::Ok, parent);
  box.exec();
}

ErrorBoxQueue::ErrorBoxQueue(Presenter presenter, QObject* parent)
    : QObject(parent), presenter_(std::move(presenter)) {}

void ErrorBoxQueue::Enqueue(const std::string& text) {
  waiting_.push_back(text);
  if (waiting_.size() > kCapacity) {
    waiting_.pop_front();
    ++dropped_;
  }
  ScheduleNext();
}

FailureSink ErrorBoxQueue::Sink() {
  return [this](const std::string& text) { Enqueue(text); };
}

std::string ErrorBoxQueue::DroppedNote(std::size_t dropped) {
  return "\n\n(" + std::to_string(dropped) +
         (dropped == 1 ? " earlier report was" : " earlier reports were") +
         " not shown: too many were waiting. Standard error has them all.)";
}

void ErrorBoxQueue::ScheduleNext() {
  if (box_open_ || scheduled_ || waiting_.empty()) return;
  scheduled_ = true;
  QTimer::singleShot(0, this, [this] { ShowNext(); });
}

std::string ErrorBoxQueue::TakeNext() {
  std::string text = std::move(waiting_.front());
  waiting_.pop_front();
  if (dropped_ > 0) {
    text += DroppedNote(dropped_);
    dropped_ = 0;
  }
  return text;
}

// Runs from the event loop. While the box is open, its own event loop keeps
// the program going; whatever fails meanwhile only queues.
void ErrorBoxQueue::ShowNext() {
  scheduled_ = false;
  if (box_open_ || waiting_.empty()) return;
  std::string text = TakeNext();
  box_open_ = true;
  struct Closed {
    ErrorBoxQueue* queue;
    ~Closed() {
      queue->box_open_ = false;
      queue->ScheduleNext();
    }
  } closed{this};
  presenter_(text);
}
