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
bool EndsWithLineBreak(const QTextDocument* document) { return document->lastBlock().text().isEmpty(); }

QString DisplayText(const std::string& line) {
  std::size_t shown = std::min<std::size_t>(line.size(), MemoPane::kMaxLineChars);
  QString text = QString::fromLatin1(line.data(), static_cast<qsizetype>(shown));
  if (shown < line.size()) text += QStringLiteral(" ...[%1 more bytes]").arg(line.size() - shown);
  if (text.contains(QLatin1Char('\r'))) text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

}  // namespace

MemoPane::MemoPane(QPlainTextEdit* memo, int keepNewest)
    : memo_(memo), keepNewest_(keepNewest), flushTimer_(new QTimer(memo)) {
  flushTimer_->setSingleShot(true);
  flushTimer_->setInterval(0);
  QObject::connect(flushTimer_, &QTimer::timeout, memo, [this] { Flush(); });
}

MemoPane::~MemoPane() { delete flushTimer_; }

void MemoPane::Append(const std::string& line) {
  pending_.append(DisplayText(line));
  pendingChars_ += pending_.back().size() + 1;
  while ((keepNewest_ > 0 && pending_.size() > keepNewest_) || pendingChars_ > kMaxChars)
    DropOldestPending();
  if (!flushTimer_->isActive()) flushTimer_->start();
}

void MemoPane::DropOldestPending() {
  pendingChars_ -= pending_.front().size() + 1;
  pending_.removeFirst();
}

// Adds at the end and scrolls it into view, as the operator expects of a log.
void MemoPane::Flush() {
  flushTimer_->stop();
  if (pending_.isEmpty()) return;
  QString text = pending_.join(QLatin1Char('\n')) + QLatin1Char('\n');
  pending_.clear();
  pendingChars_ = 0;
  QTextCursor cursor(memo_->document());
  cursor.movePosition(QTextCursor::End);
  if (!EndsWithLineBreak(memo_->document())) text.prepend(QLatin1Char('\n'));
  cursor.insertText(text);
  int overLines = keepNewest_ > 0 ? LineCount() - keepNewest_ : 0;
  DeleteFirstLines(std::max(overLines, LinesBeyondCharBound()));
  cursor.movePosition(QTextCursor::End);
  memo_->setTextCursor(cursor);
  memo_->ensureCursorVisible();
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
  pending_.clear();
  pendingChars_ = 0;
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
  QTextCursor cursor(memo_->document());
  cursor.movePosition(QTextCursor::Start);
  cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, count);
  cursor.removeSelectedText();
}
