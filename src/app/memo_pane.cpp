#include "app/memo_pane.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

namespace {

// A pane holds its lines each followed by a line break, so the text of a pane
// with one empty line ("\n") differs from that of an empty pane (""); an
// operator's edit may leave the last line without its break.
bool EndsWithLineBreak(const QTextDocument* document) { return document->lastBlock().text().isEmpty(); }

}  // namespace

MemoPane::MemoPane(QPlainTextEdit* memo, int keepNewest)
    : memo_(memo), keepNewest_(keepNewest), flushTimer_(new QTimer(memo)) {
  flushTimer_->setSingleShot(true);
  flushTimer_->setInterval(0);
  QObject::connect(flushTimer_, &QTimer::timeout, memo, [this] { Flush(); });
}

MemoPane::~MemoPane() { delete flushTimer_; }

void MemoPane::Append(const std::string& line) {
  QString text = QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size()));
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  pending_.append(text);
  if (keepNewest_ > 0 && pending_.size() > keepNewest_) pending_.removeFirst();
  if (!flushTimer_->isActive()) flushTimer_->start();
}

// Adds at the end and scrolls it into view, as the operator expects of a log.
void MemoPane::Flush() {
  flushTimer_->stop();
  if (pending_.isEmpty()) return;
  QString text = pending_.join(QLatin1Char('\n')) + QLatin1Char('\n');
  pending_.clear();
  QTextCursor cursor(memo_->document());
  cursor.movePosition(QTextCursor::End);
  if (!EndsWithLineBreak(memo_->document())) text.prepend(QLatin1Char('\n'));
  cursor.insertText(text);
  if (keepNewest_ > 0) DeleteFirstLines(LineCount() - keepNewest_);
  cursor.movePosition(QTextCursor::End);
  memo_->setTextCursor(cursor);
  memo_->ensureCursorVisible();
}

void MemoPane::Clear() {
  pending_.clear();
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
