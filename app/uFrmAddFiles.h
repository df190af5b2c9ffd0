// The source browser: places, a folder tree and a file list, from which the
// user drags folders and files into the main window's list. Created once,
// shown without being modal, kept on top, hidden when closed.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QFileSystemModel>
#include <QListView>
#include <QPushButton>
#include <QSplitter>
#include <QTreeView>

class TfrmAddFiles : public QDialog {
  Q_OBJECT
public:
  explicit TfrmAddFiles(QWidget *owner);

  // The places a user looks for files: home, the mounted volumes, the root.
  static QStringList Places();
  // The folder shown in the file list.
  QString CurrentFolder() const { return currentFolder_; }
  void SetCurrentFolder(const QString &folder);

  QComboBox *drvDrives;
  QPushButton *cmdNetwork;
  QTreeView *dirFolders;
  QSplitter *splMain;
  QListView *flbFiles;
  QPushButton *cmdClose;

  void cmdNetworkClick();
  void cmdCloseClick() { hide(); }

private:
  void DriveChanged(int index);

  QFileSystemModel *folderModel_;
  QFileSystemModel *fileModel_;
  QString currentFolder_;
};
