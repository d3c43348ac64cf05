// The newest picture of each camera folder of one unit (the sub-directories
// of its log directory), scaled to fit, under its file name and time. Folders
// are looked at cheaply (CameraFolder: listed again only when they changed);
// a picture is decoded on the decoder's thread (PictureDecoder, bounded in
// size), and only when the newest file of its folder changed, so the main
// thread never waits for a picture. Main thread only; raises nothing (an
// unreadable or too large picture shows as text).
#pragma once

#include <QString>
#include <QWidget>
#include <memory>
#include <optional>
#include <vector>

#include "store/camera_folder.h"
#include "store/picture_decoder.h"
#include "store/tree_folder.h"

class QLabel;
class QVBoxLayout;

class CameraPicturePanel : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kPictureWidth = 320;
  static constexpr int kPictureHeight = 240;

  explicit CameraPicturePanel(QWidget* parent = nullptr);
  ~CameraPicturePanel() override;

  // Shows the camera folders of unit, read through the tree's confined open;
  // none without a unit. Cheap when nothing changed.
  void ShowUnit(const std::optional<TreeFolder>& unit);

  // The captions shown, one per camera folder, for tests and the screenshot.
  QStringList Captions() const;
  // The texts shown in place of pictures ("" where a picture is shown).
  QStringList PictureTexts() const;
  // True while a picture is being decoded.
  bool Decoding() const { return decoding_ > 0; }
  // Folder listings so far, all folders together.
  long long Listings() const;

 private:
  struct Camera {
    QString name;
    std::unique_ptr<CameraFolder> folder;
    QLabel* picture = nullptr;
    QLabel* caption = nullptr;
    int generation = 0;  // a decode's result is shown only if none began after it
  };
  void SetFolders(const QStringList& folders);
  void Refresh(Camera& camera);
  void Show(const QString& name, int generation, const DecodedPicture& result);

  std::optional<TreeFolder> unit_;
  std::vector<std::unique_ptr<Camera>> cameras_;
  QVBoxLayout* layout_ = nullptr;
  int decoding_ = 0;
  int last_generation_ = 0;
  long long listings_of_removed_ = 0;
  PictureDecoder decoder_;  // last: its thread ends before the rest goes
};
