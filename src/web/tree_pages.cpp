#include "web/tree_pages.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <algorithm>

#include "store/directory_scan.h"
#include "web/json_text.h"

namespace {

const std::initializer_list<std::string_view> kTopDirectories{"log", "config", "alarms"};

QString ModifiedText(const PathResolver::Entry& entry) {
  return json_text::Time(QDateTime::fromSecsSinceEpoch(entry.modified.tv_sec));
}

HttpReply Refused(const std::string& treePath) {
  QJsonObject json{{"error", json_text::Latin1("Access to " + treePath + " denied")}};
  HttpReply reply = HttpReply::Json(QJsonDocument(json).toJson(QJsonDocument::Compact));
  reply.status = 403;
  return reply;
}

QJsonObject EntryJson(const PathResolver::Entry& entry) {
  return {{"name", json_text::Latin1(entry.name)},
          {"dir", entry.directory},
          {"size", static_cast<double>(entry.directory ? 0 : entry.size)},
          {"time", ModifiedText(entry)}};
}

QJsonArray TopEntries(const PathResolver& tree) {
  QJsonArray entries;
  for (std::string_view top : kTopDirectories) {
    PathResolver::Opened opened = tree.OpenConfined(top, {top}, O_PATH | O_DIRECTORY);
    struct stat info;
    if (!opened.fd.Valid() || ::fstat(opened.fd.Get(), &info) != 0) continue;
    entries.append(EntryJson({std::string(top), true, 0, info.st_mtim}));
  }
  return entries;
}

// Directories first, then files, each by name ignoring case; hidden names are left out.
std::vector<PathResolver::Entry> Sorted(std::vector<PathResolver::Entry> entries) {
  std::erase_if(entries, [](const PathResolver::Entry& e) { return e.name.front() == '.'; });
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    if (a.directory != b.directory) return a.directory;
    int order = ::strcasecmp(a.name.c_str(), b.name.c_str());
    return order != 0 ? order < 0 : a.name < b.name;
  });
  return entries;
}

}  // namespace

HttpReply TreePages::List(const std::string& treePath) const {
  QJsonObject json{{"path", json_text::Latin1(treePath)}};
  if (treePath.empty()) {
    json["entries"] = TopEntries(tree_);
    return HttpReply::Json(QJsonDocument(json).toJson(QJsonDocument::Compact));
  }
  // Links that lead out are not part of the tree: not even their names are listed.
  auto found = tree_.ListConfined(treePath, kTopDirectories);
  if (!found) return Refused(treePath);
  QJsonArray entries;
  int more = 0;
  for (const PathResolver::Entry& entry : Sorted(std::move(*found))) {
    if (entries.size() == kMaxEntries && ++more) continue;
    entries.append(EntryJson(entry));
  }
  json["entries"] = entries;
  json["more"] = more;
  return HttpReply::Json(QJsonDocument(json).toJson(QJsonDocument::Compact));
}

HttpReply TreePages::Download(const std::string& treePath) const {
  std::optional<std::string> host = tree_.ResolveConfined(treePath, kTopDirectories);
  // A temporary file of the tree (an upload's, a sweep's) is never whole.
  if (!host || directory_scan::IsSweepTemporary(host->substr(host->rfind('/') + 1)))
    return Refused(treePath);
  // Read like a file transfer's fetch: not while a unit stores the file, and
  // no store of it begins while it is sent.
  BusyFiles::Mark mark = BusyFiles::Instance().TryMark(*host, BusyFiles::Mode::kRead);
  QByteArray refused = "Cannot open file " + QByteArray::fromStdString(treePath) + "\n";
  if (!mark) return HttpReply::Text(409, refused);
  PathResolver::Opened opened = tree_.OpenConfined(treePath, kTopDirectories, O_RDONLY);
  if (opened.error == PathResolver::kRefused) return Refused(treePath);
  struct stat info;
  auto file = std::make_unique<QFile>();
  if (!opened.fd.Valid() || ::fstat(opened.fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      !file->open(opened.fd.Get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
    return HttpReply::Text(404, refused);
  opened.fd.Release();  // the QFile closes it
  HttpReply reply;
  reply.readMark = std::move(mark);
  reply.contentType = "application/octet-stream";
  std::string name = opened.hostPath.substr(opened.hostPath.rfind('/') + 1);
  QByteArray utf8 = json_text::Latin1(name).toUtf8();
  reply.headers.emplace_back("Content-Disposition",
                             "attachment; filename*=UTF-8''" + QUrl::toPercentEncoding(utf8));
  reply.file = std::move(file);
  return reply;
}

HttpReply TreePages::Alarms() const {
  QJsonArray files;
  for (const PathResolver::Entry& entry : Sorted(
           tree_.ListConfined("alarms", {"alarms"}).value_or(std::vector<PathResolver::Entry>{}))) {
    if (files.size() == kMaxAlarmFiles) break;
    if (entry.directory) continue;
    PathResolver::Opened opened = tree_.OpenConfined("alarms/" + entry.name, {"alarms"}, O_RDONLY);
    if (!opened.fd.Valid()) continue;
    files.append(QJsonObject{
        {"name", json_text::Latin1(entry.name)},
        {"time", ModifiedText(entry)},
        {"lines", json_text::Array(LastLines(opened.fd.Get(), kAlarmTailBytes, kAlarmLines))}});
  }
  return HttpReply::Json(
      QJsonDocument(QJsonObject{{"files", files}}).toJson(QJsonDocument::Compact));
}

std::vector<std::string> LastLines(int fd, qint64 tailBytes, int count) {
  QFile file;
  if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) return {};
  qint64 start = std::max<qint64>(0, file.size() - tailBytes);
  file.seek(start);
  QList<QByteArray> pieces = file.read(tailBytes).split('\n');
  if (!pieces.isEmpty()) pieces.removeLast();                // after the last break, or unfinished
  if (start > 0 && !pieces.isEmpty()) pieces.removeFirst();  // cut by the tail's start
  std::vector<std::string> lines;
  for (qsizetype i = std::max<qsizetype>(0, pieces.size() - count); i < pieces.size(); ++i) {
    QByteArray line = pieces[i];
    if (line.endsWith('\r')) line.chop(1);
    lines.push_back(line.toStdString());
  }
  return lines;
}
