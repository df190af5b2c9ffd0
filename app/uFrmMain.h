// The main window: the list of sources, the disc settings, the drive and
// speed choice, the operation buttons and the progress display. It owns the
// burning component, the add-files dialog and the first-run text fetcher.
#pragma once

#include "ovCDBC.h"
#include "uTOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTreeWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class TCDSize;
class TfrmAddFiles;
class TLiveUpdate;
class TFileListView;

class TfrmMain : public QMainWindow {
  Q_OBJECT
public:
  explicit TfrmMain(TOptions &options, QWidget *parent = nullptr);
  ~TfrmMain() override;

  // Message boxes go through here; tests replace it to record them.
  static std::function<void(const QString &text, const QString &caption, int icon)> MessageHook;
  // Asks for the boot image, preset with the current one; empty = cancelled.
  static std::function<QString(QWidget *parent, const QString &preset)> BootImageChooser;
  static void ShowMessage(QWidget *parent, const QString &text, const QString &caption, int icon);

  // Byte counts as " bytes", "KB" or "MB" text.
  static QString FormatSize(int64_t n);
  void UpdateDiscSpace();

  // Adds one row for a source; a folder row recurses. Returns false (and adds
  // nothing) for entries that cannot be read or are not files or folders.
  bool AddSourceRow(const QString &path);
  // Adds rows for dropped paths; returns the entries that were left out.
  QStringList AddDroppedPaths(const QStringList &paths);
  int64_t NewBytes() const;
  int64_t UsedBytes() const { return usedBytes_; }

  // True while the drive scan or a drive selection runs in the background.
  bool DriveJobRunning() const { return driveJobRunning_.load(); }
  // Runs the drive selection again: the medium is read anew.
  void RefreshDrive();
  void ShowCapabilities();

  std::unique_ptr<TOrvBurner> orvBurn;
  TfrmAddFiles *AddFilesDialog() const { return frmAddFiles_; }
  TLiveUpdate *LiveUpdate() const { return liveUpdate_.get(); }

  // Controls, named as their object names.
  QWidget *pnlContainer, *pnlFiles, *pnlSettings, *pnlBurn;
  QFrame *pnlHeaderFiles, *pnlHeaderSettings, *pnlHeaderBurn;
  QLabel *lblHeaderFiles, *lblHeaderSettings, *lblHeaderBurn;
  QLabel *imgHeaderSettings, *imgHeaderBurn;
  QPushButton *cmdAddFiles, *cmdRemoveFiles, *cmdClearFiles;
  QCheckBox *chkPathInfo;
  QLabel *lblTotalCDSize;
  TCDSize *cdsSize;
  TFileListView *lvwFiles;
  QLineEdit *txtVolumeLabel, *txtSession;
  QCheckBox *chkJoliet, *chkCloseDisc, *chkImportSession, *chkUnderrunProtection, *chkTestWrite,
      *chkEject, *chkOPC, *chkQuickSaveISO, *chkBootable, *chkArchiveOnly;
  QLabel *lblBootable, *lblCacheSize, *lblDrive;
  QSlider *sldCacheSize;
  QPushButton *cmdCloseTrack;
  QComboBox *cmbDrives, *cmbSpeed;
  QPushButton *cmdDiscInfo, *cmdCapabilities, *cmdEject, *cmdLoad, *cmdBurn, *cmdBuildISO,
      *cmdBurnISO, *cmdQuickErase, *cmdCompleteErase, *cmdAbort;
  QProgressBar *prgProgress;
  QLabel *lblMBWritten, *lblBurnState;

  // Handlers.
  void cmdAddFilesClick();
  void cmdRemoveFilesClick();
  void cmdClearFilesClick();
  void chkImportSessionClick();
  void chkBootableClick();
  void sldCacheSizeChange();
  void lblHeaderClick(QLabel *header);
  void cmbDrivesChange();
  void mnuHelpAboutClick();
  void mnuHelpHomeClick();
  // The first-run fetcher's text event.
  void LiveUpdateText(const std::string &name, const std::string &text);

protected:
  bool eventFilter(QObject *watched, QEvent *event) override;
  void showEvent(QShowEvent *event) override;

private:
  // What the device layer reported, gathered on the drive job's thread.
  struct TDeviceState {
    bool Underrun = true;
    bool UnderrunCapable = false;
    std::string IdVolume;
    int DiscStatus = -1;
    uint32_t Capacity = 0;
    uint32_t UsedBlocks = 0;
  };
  void BuildFilesPanel();
  void BuildSettingsPanel();
  void BuildBurnPanel();
  void BuildMenu();
  QWidget *MakePanel(const char *name, const char *headerName, const QString &caption, QLabel *&label,
                     QLabel **glyph);
  void CopyOptionsToControls();
  void StartDrives();
  void StartDriveJob(std::function<void()> work);
  void JoinDriveJob();
  void SelectOnJob(const std::string &deviceString);
  void orvBurnDeviceChange(TObject *Sender);
  void ApplyDeviceState(const TDeviceState &st);
  void orvBurnWriteDone(TObject *Sender, const std::string &Error);
  void orvBurnEraseDone(TObject *Sender, bool WithError);
  void FormActivate();

  TOptions &options_;
  TfrmAddFiles *frmAddFiles_ = nullptr;
  std::unique_ptr<TLiveUpdate> liveUpdate_;
  bool activated_ = false;
  bool closing_ = false;  // main thread only: queued calls do nothing once set
  int64_t usedBytes_ = 0;
  std::thread driveJob_;
  std::atomic<bool> driveJobRunning_{false};
};

// The file list: accepts drops from the add-files dialog's lists and
// text/uri-list drops from other programs.
class TFileListView : public QTreeWidget {
  Q_OBJECT
public:
  explicit TFileListView(TfrmMain *owner);
  bool AcceptsSource(const QDropEvent *e) const;

protected:
  void dragEnterEvent(QDragEnterEvent *e) override;
  void dragMoveEvent(QDragMoveEvent *e) override;
  void dropEvent(QDropEvent *e) override;

private:
  TfrmMain *owner_;
};
