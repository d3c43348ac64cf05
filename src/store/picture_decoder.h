// Decodes camera pictures bounded in time and memory: the size is read from
// the file's header first, a picture of more than the pixel limit is refused
// with "picture too large (W × H)" without being decoded, and the rest is
// decoded straight to the size asked for. DecodeLater runs decodes on the
// decoder's own thread, one at a time, so at most one picture's memory is in
// use; Decode itself is thread safe (QImage only, no QPixmap).
#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <functional>
#include <memory>

class QImageReader;
class QThreadPool;

struct DecodedPicture {
  QImage image;      // null when the picture was not decoded
  QSize sourceSize;  // from the header; invalid when unreadable
  QString error;     // why image is null: "picture too large (W × H)", "unreadable picture"
};

class PictureDecoder {
 public:
  // 25 megapixels: a 6000 x 4000 camera picture. Decoding one takes at most
  // about 6 bytes per source pixel (a progressive JPEG's coefficients):
  // 75 MB for a usual JPEG, 150 MB at worst.
  static constexpr qint64 kMaxPixels = 25'000'000;

  explicit PictureDecoder(qint64 maxPixels = kMaxPixels);
  // Waits for the picture being decoded; pictures not yet begun are dropped.
  ~PictureDecoder();
  PictureDecoder(const PictureDecoder&) = delete;
  PictureDecoder& operator=(const PictureDecoder&) = delete;

  // Decodes path scaled to fit box (keeping its aspect; never enlarged).
  static DecodedPicture Decode(const QString& path, QSize box, qint64 maxPixels = kMaxPixels);
  // The same from the file fd (opened for reading, kept open), as readers of
  // the tree open it through the tree's confined open.
  static DecodedPicture Decode(int fd, QSize box, qint64 maxPixels = kMaxPixels);

  // Decodes on the decoder's thread and calls done with the result on
  // context's thread. context must outlive the decoder (its owner, say);
  // a result that arrives after context is gone is dropped with its events.
  void DecodeLater(const QString& path, QSize box, QObject* context,
                   std::function<void(const DecodedPicture&)> done);
  // The same for the file that open gives (a descriptor or -1), opened on
  // the decoder's thread, as readers of the tree open through its confined open.
  void DecodeLater(std::function<int()> open, QSize box, QObject* context,
                   std::function<void(const DecodedPicture&)> done);

 private:
  static DecodedPicture Read(QImageReader& reader, QSize box, qint64 maxPixels);

  qint64 max_pixels_;
  std::unique_ptr<QThreadPool> pool_;
};
