// 8-bit texts as JSON values: each byte is the Latin-1 character of its
// value, so any byte a unit sent reaches the page as text and back unchanged.
#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QString>
#include <string>
#include <vector>

namespace json_text {

inline QString Latin1(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

inline QJsonArray Array(const std::vector<std::string>& texts) {
  QJsonArray array;
  for (const std::string& text : texts) array.append(Latin1(text));
  return array;
}

// A moment in ISO 8601 with its offset from UTC ("2026-12-06T09:21:00+01:00"),
// so that a browser in any zone reads the same instant.
inline QString Time(const QDateTime& moment) {
  return moment.toOffsetFromUtc(moment.offsetFromUtc()).toString(Qt::ISODate);
}

}  // namespace json_text
