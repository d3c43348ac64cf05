#include "store/picture_decoder.h"

#include <QFile>
#include <QImageReader>
#include <QMetaObject>
#include <QThreadPool>
#include <utility>

#include "base/file_descriptor.h"

namespace {

QString TooLarge(QSize size) {
  return QStringLiteral("picture too large (%1 × %2)").arg(size.width()).arg(size.height());
}

}  // namespace

PictureDecoder::PictureDecoder(qint64 maxPixels)
    : max_pixels_(maxPixels), pool_(std::make_unique<QThreadPool>()) {
  pool_->setMaxThreadCount(1);
}

PictureDecoder::~PictureDecoder() {
  pool_->clear();
  pool_->waitForDone();
}

DecodedPicture PictureDecoder::Decode(const QString& path, QSize box, qint64 maxPixels) {
  QImageReader reader(path);
  return Read(reader, box, maxPixels);
}

DecodedPicture PictureDecoder::Decode(int fd, QSize box, qint64 maxPixels) {
  QFile file;
  if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
    return {{}, {}, QStringLiteral("unreadable picture")};
  QImageReader reader(&file);
  return Read(reader, box, maxPixels);
}

DecodedPicture PictureDecoder::Read(QImageReader& reader, QSize box, qint64 maxPixels) {
  DecodedPicture result;
  result.sourceSize = reader.size();  // from the header only
  const QSize size = result.sourceSize;
  if (!size.isValid()) {
    result.error = QStringLiteral("unreadable picture");
    return result;
  }
  if (static_cast<qint64>(size.width()) * size.height() > maxPixels) {
    result.error = TooLarge(size);
    return result;
  }
  if (size.width() > box.width() || size.height() > box.height())
    reader.setScaledSize(size.scaled(box, Qt::KeepAspectRatio));
  result.image = reader.read();
  if (result.image.isNull()) result.error = QStringLiteral("unreadable picture");
  return result;
}

void PictureDecoder::DecodeLater(const QString& path, QSize box, QObject* context,
                                 std::function<void(const DecodedPicture&)> done) {
  const qint64 limit = max_pixels_;
  pool_->start([path, box, limit, context, done = std::move(done)] {
    DecodedPicture result = Decode(path, box, limit);
    QMetaObject::invokeMethod(
        context, [done, result] { done(result); }, Qt::QueuedConnection);
  });
}

void PictureDecoder::DecodeLater(std::function<int()> open, QSize box, QObject* context,
                                 std::function<void(const DecodedPicture&)> done) {
  const qint64 limit = max_pixels_;
  pool_->start([open = std::move(open), box, limit, context, done = std::move(done)] {
    FileDescriptor file(open());
    DecodedPicture result = Decode(file.Get(), box, limit);
    QMetaObject::invokeMethod(
        context, [done, result] { done(result); }, Qt::QueuedConnection);
  });
}
