// The newest picture of each camera folder of one unit (the sub-directories
// of its log directory), scaled to fit, under its file name and time. A
// picture is decoded again only when the newest file of its folder changed.
// Main thread only; raises nothing (an unreadable picture shows as text).
#pragma once

#include <QDateTime>
#include <QString>
#include <QWidget>
#include <vector>

class QLabel;
class QVBoxLayout;

class CameraPicturePanel : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kPictureWidth = 320;
  static constexpr int kPictureHeight = 240;

  explicit CameraPicturePanel(QWidget* parent = nullptr);

  // Shows the camera folders of unitDirectory (a host path); an empty path
  // shows none. Cheap when nothing changed.
  void ShowUnit(const QString& unitDirectory);

  // The captions shown, one per camera folder, for tests and the screenshot.
  QStringList Captions() const;

 private:
  struct Camera {
    QString folder;
    QString shownFile;
    QDateTime shownTime;
    QLabel* picture = nullptr;
    QLabel* caption = nullptr;
  };
  void SetFolders(const QStringList& folders);
  void Refresh(Camera& camera);

  QString unit_directory_;
  std::vector<Camera> cameras_;
  QVBoxLayout* layout_ = nullptr;
};
