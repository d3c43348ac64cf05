// The log files of the units that records were stored for, each with the
// lines gathered for it since the last write. Lines for one file are written
// with one append, and the file's identity is checked once per write rather
// than once per line. Names are looked up without allocating, so storing a
// record costs two appends to memory. Owned by the data store; main thread only.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/append_handles.h"

class LogBatches {
 public:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  // One log file below a unit's directory; one entry per file on disk, however
  // many names lead to it.
  struct File {
    std::string hostPath;
    std::string unitName;  // the names it was made from, to make it again
    std::string fileName;
    std::string pending;                // lines not yet written, each ended by CR LF
    std::vector<std::size_t> lineEnds;  // where each line of pending ends
    std::vector<bool> skip;             // per line: not to be written after all
    std::vector<bool> failed;           // per line, in the last write: not written
    std::exception_ptr failure;         // the first failure of the last write
    bool combined = false;              // a unit's combined log
    bool queued = false;

    // Adds one line: the parts, then CR LF.
    template <typename... Parts>
    void AddLine(const Parts&... parts) {
      (pending.append(parts), ...);
      pending.append("\r\n");
      lineEnds.push_back(pending.size());
    }
  };
  struct Unit {
    std::string hostDirectory;
    File* allLog = nullptr;
    std::unordered_map<std::string, File*, Hash, std::equal_to<>> sensors;
  };
  // Makes a file exist again when its path no longer names one; returns its host path.
  using Recreate = std::function<std::string(const File& file)>;
  // What became of one record, in arrival order: combined is its unit's
  // combined log (null when it was lost before that was found); failure is
  // null when every line of it was written, else why not and where.
  using Outcome =
      std::function<void(const File* combined, std::string_view text, const std::string& failedPath,
                         const std::exception_ptr& failure)>;

  Unit* FindUnit(std::string_view unitName);
  Unit& AddUnit(std::string_view unitName, std::string hostDirectory);
  // The entry for hostPath, shared by every name that resolves to it.
  File& FileAt(std::string hostPath, std::string_view unitName, std::string_view fileName);

  // Remembers that file has lines to write.
  void Queue(File& file);
  // The record (text) whose lines were just added to combined and (when not
  // null) sensor: its sensor line is dropped when its combined line cannot be
  // written.
  void NoteRecord(File& combined, File* sensor, std::string_view text);
  // A record that is lost already (its file could not be found or made): it
  // keeps its place among the others and reports failure in its turn.
  void NoteLostRecord(std::string_view text, std::string hostPath, std::exception_ptr failure);
  bool HasQueued() const { return !queued_.empty() || !records_.empty(); }
  std::size_t FileCount() const { return files_.size(); }
  // Drops every entry; only while nothing is queued.
  void Forget();

  // Writes each queued file's lines with one append (through handles) after
  // one stat; a file that is gone is made again by recreate. When the append
  // fails (a full disk), each line is tried on its own: what lands is what
  // writing record by record would have left (whole lines that fit; a record
  // whose combined line failed gets no sensor line). A file that fails does
  // not keep the others from being written. Then tells outcome what became
  // of each record; returns whether anything was written.
  bool WriteQueued(AppendHandles& handles, const Recreate& recreate, const Outcome& outcome);

 private:
  struct Record {
    File* combined;
    std::size_t combinedLine;
    File* sensor;
    std::size_t sensorLine;
    std::size_t textEnd;  // in texts_
    std::size_t lost;     // 1 + its index in lost_ when lost already, else 0
  };
  struct Lost {
    std::string hostPath;
    std::exception_ptr failure;
  };
  // Returns the lines that could not be written; failure: the first error.
  std::vector<std::size_t> WriteFile(File& file, AppendHandles& handles, const Recreate& recreate,
                                     std::exception_ptr& failure);
  static std::vector<std::size_t> WriteLineByLine(const File& file, AppendHandles& handles,
                                                  dev_t device, ino_t inode,
                                                  std::exception_ptr& failure);
  static void Append(const File& file, AppendHandles& handles, dev_t device, ino_t inode,
                     std::string_view bytes);
  void SkipSensorLinesOf(const File& combined, const std::vector<std::size_t>& failedLines);
  void WriteFiles(const std::vector<File*>& files, bool combined, AppendHandles& handles,
                  const Recreate& recreate);
  void TellOutcomes(const Outcome& outcome) const;
  static bool Failed(const File* file, std::size_t line);

  std::unordered_map<std::string, Unit, Hash, std::equal_to<>> units_;
  std::unordered_map<std::string, File, Hash, std::equal_to<>> files_;
  std::vector<File*> queued_;
  std::vector<Record> records_;  // of the queued lines, in arrival order
  std::string texts_;            // the records' texts, one after the other
  std::vector<Lost> lost_;
};
