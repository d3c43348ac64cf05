#include "app/camera_picture_panel.h"

#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

CameraPicturePanel::CameraPicturePanel(QWidget* parent)
    : QWidget(parent), layout_(new QVBoxLayout(this)) {
  setObjectName(QStringLiteral("CameraPictures"));
  layout_->addStretch(1);
  setMinimumWidth(kPictureWidth + 16);
}

CameraPicturePanel::~CameraPicturePanel() = default;

void CameraPicturePanel::ShowUnit(const QString& unitDirectory) {
  QStringList folders;
  if (!unitDirectory.isEmpty()) {
    folders = QDir(unitDirectory).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
  }
  if (unitDirectory != unit_directory_) SetFolders({});
  unit_directory_ = unitDirectory;
  SetFolders(folders);
  for (auto& camera : cameras_) Refresh(*camera);
}

QStringList CameraPicturePanel::Captions() const {
  QStringList captions;
  for (const auto& camera : cameras_) captions.append(camera->caption->text());
  return captions;
}

QStringList CameraPicturePanel::PictureTexts() const {
  QStringList texts;
  for (const auto& camera : cameras_) texts.append(camera->picture->text());
  return texts;
}

long long CameraPicturePanel::Listings() const {
  long long count = listings_of_removed_;
  for (const auto& camera : cameras_) count += camera->folder->Listings();
  return count;
}

void CameraPicturePanel::SetFolders(const QStringList& folders) {
  QStringList current;
  for (const auto& camera : cameras_) current.append(camera->name);
  if (current == folders) return;
  for (auto& camera : cameras_) {
    listings_of_removed_ += camera->folder->Listings();
    delete camera->picture;
    delete camera->caption;
  }
  cameras_.clear();
  for (const QString& name : folders) {
    auto camera = std::make_unique<Camera>();
    camera->name = name;
    camera->folder = std::make_unique<CameraFolder>(
        QDir(unit_directory_).filePath(name).toLocal8Bit().toStdString());
    camera->picture = new QLabel(this);
    camera->caption = new QLabel(this);
    camera->caption->setTextFormat(Qt::PlainText);  // folder and file names are the units' own
    camera->picture->setTextFormat(Qt::PlainText);
    camera->picture->setFixedSize(kPictureWidth, kPictureHeight);
    camera->picture->setAlignment(Qt::AlignCenter);
    camera->picture->setFrameStyle(QFrame::Box | QFrame::Plain);
    layout_->insertWidget(layout_->count() - 1, camera->caption);
    layout_->insertWidget(layout_->count() - 1, camera->picture);
    cameras_.push_back(std::move(camera));
  }
}

void CameraPicturePanel::Refresh(Camera& camera) {
  if (!camera.folder->Refresh() && camera.generation > 0) return;
  const std::optional<CameraFolder::Picture>& newest = camera.folder->Newest();
  camera.generation = ++last_generation_;
  if (!newest) {
    camera.picture->setText(QStringLiteral("no picture"));
    camera.caption->setText(camera.name + QStringLiteral(": no picture"));
    return;
  }
  QString file = QString::fromLocal8Bit(newest->name.c_str());
  QDateTime modified = QDateTime::fromSecsSinceEpoch(newest->modified.tv_sec);
  camera.caption->setText(
      camera.name + QStringLiteral(": ") + file + QStringLiteral("  ") +
      modified.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")));  // as the web view
  ++decoding_;
  decoder_.DecodeLater(
      QDir(unit_directory_).filePath(camera.name + QLatin1Char('/') + file),
      QSize(kPictureWidth, kPictureHeight), this,
      [this, name = camera.name, generation = camera.generation](const DecodedPicture& result) {
        --decoding_;
        Show(name, generation, result);
      });
}

void CameraPicturePanel::Show(const QString& name, int generation, const DecodedPicture& result) {
  for (auto& camera : cameras_) {
    if (camera->name != name || camera->generation != generation) continue;
    if (result.image.isNull()) {
      camera->picture->setText(result.error);
    } else {
      camera->picture->setPixmap(QPixmap::fromImage(result.image));
    }
  }
}
