// The lines of one multi-line pane. Appends are gathered and written in one
// edit when the event loop next turns: a burst of unit messages would
// otherwise lay the pane out once per line. Reading or clearing writes what
// is gathered first, so callers always see every line they added, in order.
// Main thread only; the pane widget is owned by the window.
#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

class QPlainTextEdit;
class QTimer;

class MemoPane {
 public:
  // keepNewest > 0: the pane keeps only that many newest lines; gathered
  // lines beyond them are dropped before they are written.
  explicit MemoPane(QPlainTextEdit* memo, int keepNewest = 0);
  ~MemoPane();
  MemoPane(const MemoPane&) = delete;
  MemoPane& operator=(const MemoPane&) = delete;

  // One line of 8-bit text (shown as Latin-1); CR LF or LF inside starts a new line.
  void Append(const std::string& line);
  void Flush();
  void Clear();

  std::vector<std::string> Lines();
  int LineCount();
  void DeleteFirstLine();
  void DeleteFirstLines(int count);

 private:
  QPlainTextEdit* memo_;
  int keepNewest_;
  QStringList pending_;
  QTimer* flushTimer_;
};
