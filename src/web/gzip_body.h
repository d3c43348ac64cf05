// Compression of a web view answer for clients that ask for it
// ("Accept-Encoding: gzip"): /metrics and the JSON of the pages shrink to a
// fraction. Stateless; any thread; a failure leaves the body as it is.
#pragma once

#include <QByteArray>
#include <optional>

namespace gzip_body {

// Answers this long or longer are worth compressing.
inline constexpr qsizetype kMinBytes = 1024;

// True when the header's list names gzip (or "*") without q=0.
bool Accepted(const QByteArray& acceptEncoding);

// The body in the gzip format, or nothing when zlib fails.
std::optional<QByteArray> Compress(const QByteArray& body);

}  // namespace gzip_body
