#include "app/camera_picture_panel.h"

#include <fcntl.h>

#include <QDateTime>
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

void CameraPicturePanel::ShowUnit(const std::optional<TreeFolder>& unit) {
  QStringList folders;
  if (unit) {
    for (const std::string& name : unit->Names(true)) folders.append(QString::fromLatin1(name));
  }
  std::string before = unit_ ? unit_->HostPath() : std::string();
  if ((unit ? unit->HostPath() : std::string()) != before) SetFolders({});
  unit_ = unit;
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
    TreeFolder folder = unit_->Child(name.toLatin1().toStdString());
    camera->folder = std::make_unique<CameraFolder>(
        folder.HostPath(),
        [folder](std::string_view file, int flags) { return folder.Open(file, flags); });
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
  QString file = QString::fromLatin1(newest->name);
  QDateTime modified = QDateTime::fromSecsSinceEpoch(newest->modified.tv_sec);
  camera.caption->setText(
      camera.name + QStringLiteral(": ") + file + QStringLiteral("  ") +
      modified.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")));  // as the web view
  ++decoding_;
  TreeFolder folder = unit_->Child(camera.name.toLatin1().toStdString());
  decoder_.DecodeLater(
      [folder, name = newest->name] { return folder.Open(name, O_RDONLY); },
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
