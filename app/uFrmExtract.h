// The extract dialog: the folder tree of the imported session, the entries
// of the chosen folder, and copying files from the disc into the extract
// folder on a worker thread, with progress and cancel.
#pragma once

#include "ovCDBC.h"
#include "uTOptions.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStringList>
#include <QTreeWidget>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class QTimer;

class TfrmExtract : public QDialog {
  Q_OBJECT
public:
  TfrmExtract(TOrvBurner &burner, TOptions &options, QWidget *parent);
  ~TfrmExtract() override;

  // Asks for the extract folder, preset with the current one; empty =
  // cancelled. Tests replace it.
  static std::function<QString(const QString &preset)> FolderHook;
  // The local name for a name read from the disc: "/" and NUL become "_";
  // empty for "", "." and "..", which are refused.
  static QString SafeName(const std::string &discName);

  void FormShow();
  void trvFoldersClick();
  void cmdExtractFileClick();
  void cmdExtractFolderClick();
  void cmdBrowseDirectoryClick();
  void cmdCancelClick();
  bool Extracting() const { return running_.load(); }
  // Names that could not be extracted by the last run, with the reason.
  QStringList Failures() const { return failures_; }
  int ExtractedCount() const { return extracted_; }

  QTreeWidget *trvFolders;
  QSplitter *splMain;
  QTreeWidget *lvwFiles;
  QLabel *lblInfo01, *lblExtract;
  QLineEdit *txtExtractFolder;
  QPushButton *cmdBrowseDirectory, *cmdExtractFile, *cmdExtractFolder, *cmdCancel, *cmdClose;
  QProgressBar *prgExtract;

protected:
  void reject() override;

private:
  struct TItem {
    std::string ISOName;
    TFEntry *Entry;
  };
  void AddSubdirectories(QTreeWidgetItem *node, TDEntry *dir);
  void StartExtract(const std::vector<TFEntry *> &files);
  void PollWorker();
  void FinishExtract();
  void JoinWorker();
  void StopWorker();

  TOrvBurner &burner_;
  TOptions &options_;
  std::vector<TItem> items_;  // row i + 1 of lvwFiles
  QTimer *poll_;

  // The worker's job: set before it starts, read after it ends.
  std::thread worker_;
  std::vector<std::pair<TFEntry *, std::string>> job_;
  std::atomic<bool> running_{false};
  std::atomic<bool> cancel_{false};
  std::atomic<int> filesDone_{0};
  std::atomic<int64_t> bytesDone_{0};
  int64_t bytesTotal_ = 0;
  std::mutex mutex_;
  QString current_;           // guarded by mutex_
  QStringList workerFailures_;  // guarded by mutex_
  QStringList failures_;
  int extracted_ = 0;
  bool closeWhenDone_ = false;  // closing was asked while files were copied
};
