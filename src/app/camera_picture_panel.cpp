#include "app/camera_picture_panel.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QLocale>
#include <QPixmap>
#include <QVBoxLayout>

CameraPicturePanel::CameraPicturePanel(QWidget* parent)
    : QWidget(parent), layout_(new QVBoxLayout(this)) {
  setObjectName(QStringLiteral("CameraPictures"));
  layout_->addStretch(1);
  setMinimumWidth(kPictureWidth + 16);
}

void CameraPicturePanel::ShowUnit(const QString& unitDirectory) {
  QStringList folders;
  if (!unitDirectory.isEmpty()) {
    folders = QDir(unitDirectory).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
  }
  if (unitDirectory != unit_directory_) SetFolders({});
  unit_directory_ = unitDirectory;
  SetFolders(folders);
  for (Camera& camera : cameras_) Refresh(camera);
}

QStringList CameraPicturePanel::Captions() const {
  QStringList captions;
  for (const Camera& camera : cameras_) captions.append(camera.caption->text());
  return captions;
}

void CameraPicturePanel::SetFolders(const QStringList& folders) {
  QStringList current;
  for (const Camera& camera : cameras_) current.append(camera.folder);
  if (current == folders) return;
  for (Camera& camera : cameras_) {
    delete camera.picture;
    delete camera.caption;
  }
  cameras_.clear();
  for (const QString& folder : folders) {
    Camera camera{folder, {}, {}, new QLabel(this), new QLabel(this)};
    camera.picture->setFixedSize(kPictureWidth, kPictureHeight);
    camera.picture->setAlignment(Qt::AlignCenter);
    camera.picture->setFrameStyle(QFrame::Box | QFrame::Plain);
    layout_->insertWidget(layout_->count() - 1, camera.caption);
    layout_->insertWidget(layout_->count() - 1, camera.picture);
    cameras_.push_back(camera);
  }
}

// The newest ".jpg" by last-write time, as the retention sweep keeps it.
void CameraPicturePanel::Refresh(Camera& camera) {
  QDir folder(unit_directory_ + QLatin1Char('/') + camera.folder);
  QFileInfoList pictures = folder.entryInfoList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Time);
  if (pictures.isEmpty()) {
    camera.shownFile.clear();
    camera.picture->setText(QStringLiteral("no picture"));
    camera.caption->setText(camera.folder + QStringLiteral(": no picture"));
    return;
  }
  const QFileInfo& newest = pictures.front();
  if (newest.fileName() == camera.shownFile && newest.lastModified() == camera.shownTime) return;
  camera.shownFile = newest.fileName();
  camera.shownTime = newest.lastModified();
  QImageReader reader(newest.filePath());
  QSize size = reader.size();
  if (size.isValid())
    reader.setScaledSize(size.scaled(kPictureWidth, kPictureHeight, Qt::KeepAspectRatio));
  QImage image = reader.read();
  if (image.isNull()) {
    camera.picture->setText(QStringLiteral("unreadable picture"));
  } else {
    camera.picture->setPixmap(QPixmap::fromImage(image));
  }
  camera.caption->setText(camera.folder + QStringLiteral(": ") + newest.fileName() +
                          QStringLiteral("  ") +
                          QLocale().toString(newest.lastModified(), QLocale::ShortFormat));
}
