#include "web/tree_pages.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include "web/json_text.h"

namespace {

const std::initializer_list<std::string_view> kTopDirectories{"log", "config", "alarms"};

HttpReply Refused(const std::string& treePath) {
  QJsonObject json{{"error", json_text::Latin1("Access to " + treePath + " denied")}};
  HttpReply reply = HttpReply::Json(QJsonDocument(json).toJson(QJsonDocument::Compact));
  reply.status = 403;
  return reply;
}

QString Latin1Name(const QFileInfo& info) {
  return json_text::Latin1(QFile::encodeName(info.fileName()).toStdString());
}

QJsonObject EntryJson(const QFileInfo& info) {
  return {{"name", Latin1Name(info)},
          {"dir", info.isDir()},
          {"size", static_cast<double>(info.isDir() ? 0 : info.size())},
          {"time", json_text::Time(info.lastModified())}};
}

QJsonArray TopEntries(const PathResolver& tree) {
  QJsonArray entries;
  for (std::string_view top : kTopDirectories) {
    QFileInfo info(QString::fromStdString(tree.Resolve(top)));
    if (info.isDir()) entries.append(EntryJson(info));
  }
  return entries;
}

// Directories first, then files, each by name; hidden names are left out.
QFileInfoList DirectoryEntries(const std::string& hostPath) {
  QDir directory(QFile::decodeName(QByteArray::fromStdString(hostPath)));
  return directory.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                                 QDir::DirsFirst | QDir::Name | QDir::IgnoreCase);
}

// A top directory itself, or a path inside one; a top that is a symbolic link is refused.
std::optional<std::string> ConfinedDirectory(const PathResolver& tree,
                                             const std::string& treePath) {
  std::vector<std::string_view> components = PathResolver::Components(treePath);
  bool absolute = !treePath.empty() && (treePath[0] == '/' || treePath[0] == '\\');
  if (absolute || components.size() != 1) return tree.ResolveConfined(treePath, kTopDirectories);
  for (std::string_view top : kTopDirectories) {
    QFileInfo info(QString::fromStdString(tree.Resolve(top)));
    if (components[0] == top && info.isDir() && !info.isSymLink()) return tree.Resolve(top);
  }
  return std::nullopt;
}

}  // namespace

HttpReply TreePages::List(const std::string& treePath) const {
  QJsonObject json{{"path", json_text::Latin1(treePath)}};
  if (treePath.empty()) {
    json["entries"] = TopEntries(tree_);
    return HttpReply::Json(QJsonDocument(json).toJson(QJsonDocument::Compact));
  }
  std::optional<std::string> host = ConfinedDirectory(tree_, treePath);
  if (!host || !QFileInfo(QFile::decodeName(QByteArray::fromStdString(*host))).isDir())
    return Refused(treePath);
  QJsonArray entries;
  QFileInfoList found = DirectoryEntries(*host);
  int more = 0;
  for (const QFileInfo& info : found) {
    if (entries.size() == kMaxEntries && ++more) continue;
    // A link that leads out is not part of the tree: not even its name is shown.
    std::string name = QFile::encodeName(info.fileName()).toStdString();
    if (info.isSymLink() && !tree_.ResolveConfined(treePath + "/" + name, kTopDirectories))
      continue;
    entries.append(EntryJson(info));
  }
  json["entries"] = entries;
  json["more"] = more;
  return HttpReply::Json(QJsonDocument(json).toJson(QJsonDocument::Compact));
}

HttpReply TreePages::Download(const std::string& treePath) const {
  std::optional<std::string> host = tree_.ResolveConfined(treePath, kTopDirectories);
  if (!host) return Refused(treePath);
  // Read like a file transfer's fetch: not while a unit stores the file, and
  // no store of it begins while it is sent.
  BusyFiles::Mark mark = BusyFiles::Instance().TryMark(*host, BusyFiles::Mode::kRead);
  QByteArray refused = "Cannot open file " + QByteArray::fromStdString(treePath) + "\n";
  if (!mark) return HttpReply::Text(409, refused);
  auto file = std::make_unique<QFile>(QFile::decodeName(QByteArray::fromStdString(*host)));
  if (!QFileInfo(file->fileName()).isFile() || !file->open(QIODevice::ReadOnly))
    return HttpReply::Text(404, refused);
  HttpReply reply;
  reply.readMark = std::move(mark);
  reply.contentType = "application/octet-stream";
  QByteArray name = QFileInfo(file->fileName()).fileName().toUtf8();
  reply.headers.emplace_back("Content-Disposition",
                             "attachment; filename*=UTF-8''" + QUrl::toPercentEncoding(name));
  reply.file = std::move(file);
  return reply;
}

HttpReply TreePages::Alarms() const {
  QJsonArray files;
  for (const QFileInfo& info : DirectoryEntries(tree_.Resolve("alarms"))) {
    if (files.size() == kMaxAlarmFiles) break;
    if (!info.isFile()) continue;
    std::string host = QFile::encodeName(info.filePath()).toStdString();
    files.append(
        QJsonObject{{"name", Latin1Name(info)},
                    {"time", json_text::Time(info.lastModified())},
                    {"lines", json_text::Array(LastLines(host, kAlarmTailBytes, kAlarmLines))}});
  }
  return HttpReply::Json(
      QJsonDocument(QJsonObject{{"files", files}}).toJson(QJsonDocument::Compact));
}

std::vector<std::string> LastLines(const std::string& hostPath, qint64 tailBytes, int count) {
  QFile file(QFile::decodeName(QByteArray::fromStdString(hostPath)));
  if (!file.open(QIODevice::ReadOnly)) return {};
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
