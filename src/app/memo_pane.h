// The lines of one multi-line pane. Appends are gathered and written in one
// edit when the event loop next turns, and at most every kMinWriteIntervalMs
// while lines keep coming: a burst of unit messages would otherwise lay the
// pane out (and draw it) once per line or once per turn. A write that took
// long spaces the next ones further (kWriteCostShare), so a flood of long
// lines costs the main thread a bounded share of its time. Reading or clearing writes what
// is gathered first, so callers always see every line they added, in order.
// A pane costs bounded memory and layout time whatever it is sent: it keeps
// at most kMaxChars characters (the oldest lines go first) and shows a line
// longer than kMaxLineChars shortened, with a mark that says how much is not
// shown. Main thread only; the pane widget is owned by the window.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <deque>
#include <string>
#include <vector>

class QPlainTextEdit;
class QTimer;

class MemoPane {
 public:
  static constexpr qsizetype kMaxChars = 4 * 1024 * 1024;
  static constexpr qsizetype kMaxLineChars = 512;
  static constexpr int kMinWriteIntervalMs = 40;
  // Writes take at most about 1/kWriteCostShare of the time while lines keep coming.
  static constexpr int kWriteCostShare = 5;

  // keepNewest > 0: the pane keeps only that many newest lines; gathered
  // lines beyond them (or beyond kMaxChars) are dropped before they are written.
  explicit MemoPane(QPlainTextEdit* memo, int keepNewest = 0);
  ~MemoPane();
  MemoPane(const MemoPane&) = delete;
  MemoPane& operator=(const MemoPane&) = delete;

  // One line of 8-bit text (shown as Latin-1); CR LF or LF inside starts a new line.
  // A line of more than kMaxLineChars bytes shows its first kMaxLineChars and
  // " ...[N more bytes]".
  void Append(const std::string& line);
  void Flush();
  void Clear();

  std::vector<std::string> Lines();
  int LineCount();
  void DeleteFirstLine();
  void DeleteFirstLines(int count);

 private:
  qsizetype PendingChars() const;
  void DropDroppedBytes();
  void ClearPending();
  int LinesBeyondCharBound() const;

  QPlainTextEdit* memo_;
  int keepNewest_;
  // Lines gathered since the last write, as shown, each ended by '\n'; line k
  // begins at pendingStarts_[k] - base_ in pending_.
  std::string pending_;
  std::deque<std::size_t> pendingStarts_;
  std::size_t base_ = 0;
  QTimer* flushTimer_;
  QElapsedTimer lastWrite_;
  qint64 writeIntervalMs_ = kMinWriteIntervalMs;
};
