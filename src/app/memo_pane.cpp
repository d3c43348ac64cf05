#include "app/memo_pane.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>

namespace {

// A pane holds its lines each followed by a line break, so the text of a pane
// with one empty line ("\n") differs from that of an empty pane (""); an
// operator's edit may leave the last line without its break.
bool EndsWithLineBreak(const QTextDocument* document) {
  return document->lastBlock().text().isEmpty();
}

// The line as shown, ended by a line break: at most kMaxLineChars of it and
// then the mark; CR LF inside becomes a line break.
void AppendShown(std::string& out, const std::string& line) {
  std::size_t shown = std::min<std::size_t>(line.size(), MemoPane::kMaxLineChars);
  std::size_t start = out.size();
  out.append(line, 0, shown);
  if (shown < line.size()) out += " ...[" + std::to_string(line.size() - shown) + " more bytes]";
  if (out.find('\r', start) != std::string::npos) {
    std::size_t kept = start;
    for (std::size_t i = start; i < out.size(); ++i) {
      if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) out[kept++] = out[i];
    }
    out.resize(kept);
  }
  out += '\n';
}

}  // namespace

MemoPane::MemoPane(QPlainTextEdit* memo, int keepNewest)
    : memo_(memo), keepNewest_(keepNewest), flushTimer_(new QTimer(memo)) {
  flushTimer_->setSingleShot(true);
  QObject::connect(flushTimer_, &QTimer::timeout, memo, [this] { Flush(); });
}

MemoPane::~MemoPane() { delete flushTimer_; }

void MemoPane::Append(const std::string& line) {
  pendingStarts_.push_back(base_ + pending_.size());
  AppendShown(pending_, line);
  while ((keepNewest_ > 0 && static_cast<int>(pendingStarts_.size()) > keepNewest_) ||
         PendingChars() > kMaxChars) {
    pendingStarts_.pop_front();
  }
  if (pendingStarts_.front() - base_ > static_cast<std::size_t>(kMaxChars)) DropDroppedBytes();
  if (flushTimer_->isActive()) return;
  qint64 since = lastWrite_.isValid() ? lastWrite_.elapsed() : writeIntervalMs_;
  flushTimer_->start(static_cast<int>(std::max<qint64>(0, writeIntervalMs_ - since)));
}

qsizetype MemoPane::PendingChars() const {
  return static_cast<qsizetype>(base_ + pending_.size() - pendingStarts_.front());
}

// Lines dropped before they were written leave their bytes at the front of
// pending_ until there are enough of them to be worth moving the rest.
void MemoPane::DropDroppedBytes() {
  std::size_t dropped = pendingStarts_.front() - base_;
  pending_.erase(0, dropped);
  base_ += dropped;
}

void MemoPane::ClearPending() {
  pending_.clear();
  pendingStarts_.clear();
  base_ = 0;
}

// Adds at the end and scrolls it into view, as the operator expects of a log.
void MemoPane::Flush() {
  flushTimer_->stop();
  if (pendingStarts_.empty()) return;
  lastWrite_.start();
  std::size_t from = pendingStarts_.front() - base_;
  QString text =
      QString::fromLatin1(pending_.data() + from, static_cast<qsizetype>(pending_.size() - from));
  ClearPending();
  QTextCursor cursor(memo_->document());
  // The lines and the trimming of the oldest are one edit: the pane changes
  // (and its change handler runs) once per write.
  cursor.beginEditBlock();
  cursor.movePosition(QTextCursor::End);
  if (!EndsWithLineBreak(memo_->document())) text.prepend(QLatin1Char('\n'));
  cursor.insertText(text);
  int overLines = keepNewest_ > 0 ? LineCount() - keepNewest_ : 0;
  DeleteFirstLines(std::max(overLines, LinesBeyondCharBound()));
  cursor.endEditBlock();
  cursor.movePosition(QTextCursor::End);
  memo_->setTextCursor(cursor);
  memo_->ensureCursorVisible();
  writeIntervalMs_ = std::max<qint64>(kMinWriteIntervalMs, kWriteCostShare * lastWrite_.elapsed());
}

// The oldest lines that must go for the rest to fit kMaxChars.
int MemoPane::LinesBeyondCharBound() const {
  const QTextDocument* document = memo_->document();
  qsizetype excess = document->characterCount() - kMaxChars;
  int lines = 0;
  for (QTextBlock block = document->begin(); excess > 0 && block.isValid();
       block = block.next(), ++lines) {
    excess -= block.length();
  }
  return lines;
}

void MemoPane::Clear() {
  ClearPending();
  flushTimer_->stop();
  memo_->clear();
}

std::vector<std::string> MemoPane::Lines() {
  Flush();
  std::vector<std::string> lines;
  const QTextDocument* document = memo_->document();
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
    if (block == document->lastBlock() && block.text().isEmpty()) break;
    lines.push_back(block.text().toLatin1().toStdString());
  }
  return lines;
}

int MemoPane::LineCount() {
  const QTextDocument* document = memo_->document();
  return document->blockCount() - (EndsWithLineBreak(document) ? 1 : 0);
}

void MemoPane::DeleteFirstLine() { DeleteFirstLines(1); }

// One edit for all of them: the pane is laid out once.
void MemoPane::DeleteFirstLines(int count) {
  if (count <= 0) return;
  QTextDocument* document = memo_->document();
  QTextBlock keep = document->findBlockByNumber(count);
  QTextCursor cursor(document);
  // By position: moving block by block would lay out every block passed.
  if (keep.isValid()) {
    cursor.setPosition(keep.position(), QTextCursor::KeepAnchor);
  } else {
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  }
  cursor.removeSelectedText();
}
