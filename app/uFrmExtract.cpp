#include "uFrmExtract.h"

#include "uFrmMain.h"

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QTimer>
#include <QVBoxLayout>

std::function<QString(const QString &)> TfrmExtract::FolderHook;

QString TfrmExtract::SafeName(const std::string &discName) {
  if (discName.empty() || discName == "." || discName == "..")
    return {};
  std::string s = discName;
  for (char &c : s)
    if (c == '/' || c == '\0')
      c = '_';
  return QString::fromStdString(s);
}

TfrmExtract::TfrmExtract(TOrvBurner &burner, TOptions &options, QWidget *parent)
    : QDialog(parent), burner_(burner), options_(options) {
  setObjectName(QStringLiteral("frmExtract"));
  setWindowTitle(QStringLiteral("Extract Files and Folders"));
  resize(597, 424);
  setMinimumSize(597, 399);
  auto *v = new QVBoxLayout(this);
  splMain = new QSplitter(Qt::Horizontal, this);
  splMain->setObjectName(QStringLiteral("splMain"));
  trvFolders = new QTreeWidget(splMain);
  trvFolders->setObjectName(QStringLiteral("trvFolders"));
  trvFolders->setHeaderHidden(true);
  trvFolders->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvwFiles = new QTreeWidget(splMain);
  lvwFiles->setObjectName(QStringLiteral("lvwFiles"));
  lvwFiles->setColumnCount(3);
  lvwFiles->setHeaderLabels({QStringLiteral("Number"), QStringLiteral("File Name"), QStringLiteral("File Size")});
  lvwFiles->setRootIsDecorated(false);
  lvwFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvwFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lvwFiles->header()->setStretchLastSection(false);
  lvwFiles->header()->setSectionResizeMode(1, QHeaderView::Stretch);
  lvwFiles->setColumnWidth(2, 100);
  splMain->addWidget(trvFolders);
  splMain->addWidget(lvwFiles);
  splMain->setSizes({170, 400});
  splMain->setChildrenCollapsible(false);
  trvFolders->setMinimumWidth(40);
  v->addWidget(splMain, 1);

  auto *g = new QGridLayout;
  lblInfo01 = new QLabel(QStringLiteral("Extract To:"), this);
  lblInfo01->setObjectName(QStringLiteral("lblInfo01"));
  txtExtractFolder = new QLineEdit(this);
  txtExtractFolder->setObjectName(QStringLiteral("txtExtractFolder"));
  txtExtractFolder->setReadOnly(true);
  const auto button = [this](const char *name, const QString &text) {
    auto *b = new QPushButton(text, this);
    b->setObjectName(QLatin1String(name));
    return b;
  };
  cmdBrowseDirectory = button("cmdBrowseDirectory", QStringLiteral("..."));
  cmdExtractFile = button("cmdExtractFile", QStringLiteral("Extract File"));
  cmdExtractFolder = button("cmdExtractFolder", QStringLiteral("Extract Folder"));
  cmdCancel = button("cmdCancel", QStringLiteral("Cancel"));
  cmdCancel->setEnabled(false);
  cmdClose = button("cmdClose", QStringLiteral("Close"));
  lblExtract = new QLabel(this);
  lblExtract->setObjectName(QStringLiteral("lblExtract"));
  prgExtract = new QProgressBar(this);
  prgExtract->setObjectName(QStringLiteral("prgExtract"));
  prgExtract->setTextVisible(true);
  g->addWidget(lblInfo01, 0, 0);
  g->addWidget(txtExtractFolder, 0, 1);
  g->addWidget(cmdBrowseDirectory, 0, 2);
  g->addWidget(lblExtract, 1, 0, 1, 2);
  g->addWidget(prgExtract, 2, 0, 1, 2);
  auto *buttons = new QHBoxLayout;
  for (QPushButton *b : {cmdExtractFile, cmdExtractFolder, cmdCancel})
    buttons->addWidget(b);
  buttons->addStretch();
  buttons->addWidget(cmdClose);
  v->addLayout(g);
  v->addLayout(buttons);

  poll_ = new QTimer(this);
  poll_->setInterval(100);
  connect(poll_, &QTimer::timeout, this, &TfrmExtract::PollWorker);
  connect(trvFolders, &QTreeWidget::itemSelectionChanged, this, &TfrmExtract::trvFoldersClick);
  connect(cmdExtractFile, &QPushButton::clicked, this, &TfrmExtract::cmdExtractFileClick);
  connect(cmdExtractFolder, &QPushButton::clicked, this, &TfrmExtract::cmdExtractFolderClick);
  connect(cmdBrowseDirectory, &QPushButton::clicked, this, &TfrmExtract::cmdBrowseDirectoryClick);
  connect(cmdCancel, &QPushButton::clicked, this, &TfrmExtract::cmdCancelClick);
  connect(cmdClose, &QPushButton::clicked, this, &TfrmExtract::reject);
}

TfrmExtract::~TfrmExtract() {
  if (Extracting())
    StopWorker();
  JoinWorker();
  burner_.ResumeCommands();
}

void TfrmExtract::FormShow() {
  txtExtractFolder->setText(QString::fromStdString(options_.ExtractFolder));
  trvFolders->clear();
  TDEntry *root = burner_.FindDir("\\");
  if (!root)
    return;
  auto *node = new QTreeWidgetItem(QStringList{QStringLiteral("CDROOT")});
  node->setData(0, Qt::UserRole, QVariant::fromValue<void *>(root));
  trvFolders->addTopLevelItem(node);
  AddSubdirectories(node, root);
  node->setExpanded(true);
  trvFolders->setCurrentItem(node);
  trvFoldersClick();
}

// Depth first with an explicit stack: a deep tree cannot exhaust the call stack.
void TfrmExtract::AddSubdirectories(QTreeWidgetItem *node, TDEntry *dir) {
  std::vector<std::pair<QTreeWidgetItem *, TDEntry *>> stack{{node, dir}};
  while (!stack.empty()) {
    auto [parent, d] = stack.back();
    stack.pop_back();
    std::vector<std::pair<QTreeWidgetItem *, TDEntry *>> children;
    for (TFEntry *e = d->Entries; e; e = e->Next) {
      if (!(e->Attr & ov::faDirectory) || !e->Dir)
        continue;
      auto *child = new QTreeWidgetItem(parent, QStringList{QString::fromStdString(e->LongName)});
      child->setData(0, Qt::UserRole, QVariant::fromValue<void *>(e->Dir));
      children.emplace_back(child, e->Dir);
    }
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
}

void TfrmExtract::trvFoldersClick() {
  lvwFiles->clear();
  items_.clear();
  QTreeWidgetItem *node = trvFolders->currentItem();
  if (!node)
    return;
  auto *dir = static_cast<TDEntry *>(node->data(0, Qt::UserRole).value<void *>());
  int counter = 1;
  for (TFEntry *e = dir ? dir->Entries : nullptr; e; e = e->Next, ++counter) {
    auto *row = new QTreeWidgetItem;
    row->setText(0, QString::number(counter));
    row->setText(1, QString::fromStdString(e->LongName));
    row->setText(2, e->Attr & ov::faDirectory ? QStringLiteral("< DIR >") : QString::number(e->Size));
    row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    lvwFiles->addTopLevelItem(row);
    items_.push_back({e->ISOName, e});
  }
}

void TfrmExtract::cmdExtractFileClick() {
  const QList<QTreeWidgetItem *> rows = lvwFiles->selectedItems();
  if (rows.size() != 1 || Extracting())
    return;
  TFEntry *e = items_[static_cast<size_t>(rows.front()->text(0).toInt() - 1)].Entry;
  if (e->Attr & ov::faDirectory) {
    TfrmMain::ShowMessage(this,
                          QStringLiteral("You can not extract a directory. ") + QString::fromStdString(e->LongName) +
                              QStringLiteral(" is a directory."),
                          windowTitle(), QMessageBox::NoIcon);
    return;
  }
  StartExtract({e});
}

void TfrmExtract::cmdExtractFolderClick() {
  if (Extracting())
    return;
  std::vector<TFEntry *> files;
  for (const TItem &i : items_)
    if (!(i.Entry->Attr & ov::faDirectory))
      files.push_back(i.Entry);
  StartExtract(files);
}

void TfrmExtract::cmdBrowseDirectoryClick() {
  const QString preset = txtExtractFolder->text();
  const QString chosen = FolderHook ? FolderHook(preset)
                                    : QFileDialog::getExistingDirectory(this, QStringLiteral("Extract To"), preset);
  if (chosen.isEmpty())
    return;
  if (!QDir(chosen).exists() && !QDir().mkpath(chosen)) {
    TfrmMain::ShowMessage(this, QStringLiteral("The folder %1 cannot be created.").arg(chosen),
                          QStringLiteral("Warning"), QMessageBox::Warning);
    return;
  }
  txtExtractFolder->setText(chosen);
  options_.ExtractFolder = chosen.toStdString();
}

void TfrmExtract::StartExtract(const std::vector<TFEntry *> &files) {
  failures_.clear();
  extracted_ = 0;
  if (files.empty())
    return;
  QString folder = txtExtractFolder->text();
  while (folder.size() > 1 && folder.endsWith(QLatin1Char('/')))
    folder.chop(1);
  if (folder.isEmpty() || (!QDir(folder).exists() && !QDir().mkpath(folder))) {
    TfrmMain::ShowMessage(this, QStringLiteral("The extract folder %1 cannot be used.").arg(folder),
                          QStringLiteral("Warning"), QMessageBox::Warning);
    return;
  }
  job_.clear();
  bytesTotal_ = 0;
  for (TFEntry *e : files) {
    const QString name = SafeName(e->LongName);
    if (name.isEmpty()) {
      failures_ << QString::fromStdString(e->LongName) + QStringLiteral(": not a usable file name");
      continue;
    }
    job_.emplace_back(e, (folder + QLatin1Char('/') + name).toStdString());
    bytesTotal_ += e->Size;
  }
  filesDone_.store(0);
  bytesDone_.store(0);
  cancel_.store(false);
  {
    std::lock_guard<std::mutex> g(mutex_);
    workerFailures_.clear();
    current_.clear();
  }
  prgExtract->setRange(0, 1000);
  prgExtract->setValue(0);
  for (QPushButton *b : {cmdExtractFile, cmdExtractFolder, cmdBrowseDirectory, cmdClose})
    b->setEnabled(false);
  cmdCancel->setEnabled(true);
  burner_.ResumeCommands();  // a cancel of an earlier run
  running_.store(true);
  worker_ = std::thread([this] {
    int64_t before = 0;  // bytes of the files done
    for (const auto &[entry, target] : job_) {
      if (cancel_.load())
        break;
      {
        std::lock_guard<std::mutex> g(mutex_);
        current_ = QString::fromStdString(entry->LongName);
      }
      // Progress within the file, and Cancel taking effect between reads.
      const auto progress = [this, before](uint64_t done) {
        bytesDone_.store(before + static_cast<int64_t>(done));
        return !cancel_.load();
      };
      if (burner_.ExtractFile(entry, target, progress) != 1) {
        if (cancel_.load())
          break;  // stopped inside the file: nothing of it was kept
        std::lock_guard<std::mutex> g(mutex_);
        workerFailures_ << QString::fromStdString(entry->LongName) + QStringLiteral(": ") +
                               QString::fromStdString(burner_.ErrorText.empty() ? "read error" : burner_.ErrorText);
      }
      before += entry->Size;
      bytesDone_.store(before);
      ++filesDone_;
    }
    running_.store(false);
  });
  poll_->start();
}

void TfrmExtract::PollWorker() {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (!current_.isEmpty())
      lblExtract->setText(QStringLiteral("Extracting: ") + current_);
  }
  const int64_t done = bytesDone_.load();
  prgExtract->setValue(bytesTotal_ > 0 ? static_cast<int>(done * 1000 / bytesTotal_)
                                       : filesDone_.load() * 1000 / std::max<int>(1, static_cast<int>(job_.size())));
  if (!running_.load())
    FinishExtract();
}

void TfrmExtract::JoinWorker() {
  if (worker_.joinable())
    worker_.join();
}

void TfrmExtract::FinishExtract() {
  poll_->stop();
  JoinWorker();
  burner_.ResumeCommands();
  int failed = 0;
  {
    std::lock_guard<std::mutex> g(mutex_);
    failed = static_cast<int>(workerFailures_.size());
    failures_ << workerFailures_;
  }
  extracted_ = filesDone_.load() - failed;
  prgExtract->setValue(prgExtract->maximum());
  for (QPushButton *b : {cmdExtractFile, cmdExtractFolder, cmdBrowseDirectory, cmdClose})
    b->setEnabled(true);
  cmdCancel->setEnabled(false);
  const bool cancelled = cancel_.load() && filesDone_.load() < static_cast<int>(job_.size());
  if (cancelled)
    lblExtract->setText(QStringLiteral("Extraction cancelled."));
  if (!failures_.isEmpty())
    TfrmMain::ShowMessage(this, QStringLiteral("These files could not be extracted:\n") + failures_.join(QLatin1Char('\n')),
                          QStringLiteral("Warning"), QMessageBox::Warning);
  if (closeWhenDone_) {
    closeWhenDone_ = false;
    QDialog::reject();
  }
}

// The worker stops between reads; a read the drive is still working on (or
// never answers) is aborted, so Cancel takes effect within moments.
void TfrmExtract::StopWorker() {
  cancel_.store(true);
  burner_.CancelCommands();
}

void TfrmExtract::cmdCancelClick() {
  if (Extracting())
    StopWorker();
}

// Closing while files are copied stops the copy (the file being copied is
// not kept), then closes.
void TfrmExtract::reject() {
  if (Extracting()) {
    StopWorker();
    closeWhenDone_ = true;
    return;
  }
  QDialog::reject();
}
