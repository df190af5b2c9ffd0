#include "uFrmAddFiles.h"

#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QVBoxLayout>

TfrmAddFiles::TfrmAddFiles(QWidget *owner) : QDialog(owner) {
  setObjectName(QStringLiteral("frmAddFiles"));
  setWindowTitle(QStringLiteral("Add Files"));
  setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
  setModal(false);
  resize(436, 382);
  setMinimumSize(436, 382);

  drvDrives = new QComboBox(this);
  drvDrives->setObjectName(QStringLiteral("drvDrives"));
  drvDrives->addItems(Places());
  cmdNetwork = new QPushButton(QStringLiteral("Network"), this);
  cmdNetwork->setObjectName(QStringLiteral("cmdNetwork"));

  folderModel_ = new QFileSystemModel(this);
  folderModel_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden);
  folderModel_->setRootPath(QStringLiteral("/"));
  fileModel_ = new QFileSystemModel(this);
  fileModel_->setFilter(QDir::Files | QDir::Hidden | QDir::System);

  splMain = new QSplitter(Qt::Horizontal, this);
  splMain->setObjectName(QStringLiteral("splMain"));
  dirFolders = new QTreeView(splMain);
  dirFolders->setObjectName(QStringLiteral("dirFolders"));
  dirFolders->setModel(folderModel_);
  for (int c = 1; c < folderModel_->columnCount(); ++c)
    dirFolders->hideColumn(c);
  dirFolders->header()->hide();
  dirFolders->setDragEnabled(true);
  dirFolders->setDragDropMode(QAbstractItemView::DragOnly);
  dirFolders->setMinimumWidth(40);
  flbFiles = new QListView(splMain);
  flbFiles->setObjectName(QStringLiteral("flbFiles"));
  flbFiles->setModel(fileModel_);
  flbFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  flbFiles->setDragEnabled(true);
  flbFiles->setDragDropMode(QAbstractItemView::DragOnly);
  flbFiles->setMinimumWidth(40);
  splMain->setChildrenCollapsible(false);

  cmdClose = new QPushButton(QStringLiteral("Close"), this);
  cmdClose->setObjectName(QStringLiteral("cmdClose"));

  auto *top = new QHBoxLayout;
  top->addWidget(drvDrives, 1);
  top->addWidget(cmdNetwork);
  auto *bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(cmdClose);
  auto *v = new QVBoxLayout(this);
  v->addLayout(top);
  v->addWidget(splMain, 1);
  v->addLayout(bottom);

  connect(drvDrives, &QComboBox::currentIndexChanged, this, &TfrmAddFiles::DriveChanged);
  connect(dirFolders, &QTreeView::clicked, this,
          [this](const QModelIndex &i) { SetCurrentFolder(folderModel_->filePath(i)); });
  connect(dirFolders->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex &i) {
            if (i.isValid())
              SetCurrentFolder(folderModel_->filePath(i));
          });
  connect(cmdNetwork, &QPushButton::clicked, this, &TfrmAddFiles::cmdNetworkClick);
  connect(cmdClose, &QPushButton::clicked, this, &TfrmAddFiles::cmdCloseClick);
  DriveChanged(0);
}

QStringList TfrmAddFiles::Places() {
  QStringList places{QDir::homePath()};
  for (const QStorageInfo &v : QStorageInfo::mountedVolumes()) {
    const QString root = v.rootPath();
    // Volumes a user keeps files on: removable and network mounts show up
    // under these folders; system mounts (/proc, /sys, /run...) do not.
    if (v.isValid() && v.isReady() &&
        (root.startsWith(QLatin1String("/media/")) || root.startsWith(QLatin1String("/mnt/")) ||
         root.startsWith(QLatin1String("/run/media/"))) &&
        !places.contains(root))
      places << root;
  }
  if (!places.contains(QStringLiteral("/")))
    places << QStringLiteral("/");
  return places;
}

void TfrmAddFiles::DriveChanged(int index) {
  if (index < 0)
    return;
  const QString place = drvDrives->itemText(index);
  dirFolders->setRootIndex(folderModel_->index(place));
  SetCurrentFolder(place);
}

void TfrmAddFiles::SetCurrentFolder(const QString &folder) {
  const QFileInfo fi(folder);
  if (!fi.isDir())
    return;  // an unknown path changes nothing
  currentFolder_ = fi.absoluteFilePath();
  fileModel_->setRootPath(currentFolder_);
  flbFiles->setRootIndex(fileModel_->index(currentFolder_));
  const QModelIndex idx = folderModel_->index(currentFolder_);
  if (idx.isValid() && dirFolders->currentIndex() != idx) {
    const QSignalBlocker block(dirFolders->selectionModel());
    dirFolders->setCurrentIndex(idx);
    dirFolders->scrollTo(idx);
  }
}

void TfrmAddFiles::cmdNetworkClick() {
  bool ok = false;
  const QString path = QInputDialog::getText(
      this, QStringLiteral("Network Path"),
      QStringLiteral("Please enter the complete network path\r\n(e.g. \\\\Computer\\C)"), QLineEdit::Normal,
      QString(), &ok);
  if (ok)
    SetCurrentFolder(path);
}
