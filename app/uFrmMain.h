// The main window: the list of sources, the disc settings, the drive and
// speed choice, the operation buttons and the progress display. It owns the
// burning component, the add-files dialog and the first-run text fetcher.
#pragma once

#include "ovCDBC.h"
#include "uTOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLocale>
#include <QTimer>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>

#include <atomic>
#include <deque>
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
  // Yes/No questions go through here; tests replace it to answer them.
  static std::function<bool(const QString &text, const QString &caption)> QuestionHook;
  static bool AskYesNo(QWidget *parent, const QString &text, const QString &caption, bool defaultNo = false);
  // Names asked from the user: kind "SaveISO" (an image to create) or
  // "OpenISO" (an image to burn); empty = cancelled. Tests replace it.
  static std::function<QString(const QString &kind, const QString &preset)> PathHook;
  static QString AskPath(QWidget *parent, const QString &kind, const QString &preset);

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

  // True while a job of the window's worker runs (the drive scan, a
  // selection, a disc read or the preparation of a write) or its result waits.
  bool DriveJobRunning() const { return jobActive_; }
  // Runs the drive selection again: the medium is read anew.
  void RefreshDrive();
  void ShowCapabilities();

  // ---- operations (uFrmMain_ops.cpp, uFrmMain_progress.cpp) ----
  // Values captured by ApplyOptions at the start of each operation.
  bool EjectAfterWrite = false;
  bool ArchiveOnly = false;
  bool QuickSave = false;
  uint8_t SessionToImport = 0;  // 0: none; 255: the last session
  // Copies the settings into the component; false (after telling the user)
  // when a setting cannot be used.
  bool ApplyOptions();
  // Fills the compilation from the list (and the imported session); false
  // when there is nothing to write or the import failed, after telling why.
  bool FillCompilation();
  // The entries the last FillCompilation left out, one per line; empty when none.
  QString LeftOutText() const;
  // The layout's note as a paragraph of a question; empty without one.
  QString LayoutNoteText() const;
  // Reads the session SessionToImport into the compilation's root; false
  // (after telling the user) when the disc has no such session tree.
  bool ImportChosenSession();
  void FillSpeedList();
  // KB/s for an entry of the speed list ("Max" or empty: 0, the drive's
  // maximum); the number before "X" is read in the given locale.
  static uint16_t SpeedFromText(const QString &text, uint8_t discType, const QLocale &locale);
  static uint16_t SpeedFromText(const QString &text, uint8_t discType);
  // "48X (8,467 KB/s)" on a CD, "4.0X (5,540 KB/s)" on a DVD, in the locale's separators.
  static QString SpeedEntry(double kbPerSecond, uint8_t discType, const QLocale &locale);
  // True from the start of an operation until its completion handler ran.
  bool Busy() const { return operation_ != TOperation::None; }
  void cmdBurnClick();
  void cmdBuildISOClick();
  void cmdBurnISOClick();
  void cmdQuickEraseClick();
  void cmdCompleteEraseClick();
  void cmdCloseTrackClick();
  void cmdEjectClick();
  void cmdLoadClick();
  void cmdAbortClick();
  void cmdDiscInfoClick();
  void ShowDiscInfo();
  void tmrProgressTimer();
  void chkVerifyClick();
  // The Rock Ridge settings went to the options and to the burner (they
  // rule how later insertions store names, modes and links).
  void RockRidgeClick();

  // ---- work off the window's thread, controls and ending (uFrmMain_ops.cpp,
  // uFrmMain_drive.cpp, uFrmMain_progress.cpp) ----
  // Runs work on the window's worker (one at a time) and then, on the
  // window's thread, then. False (nothing run) while another job runs.
  bool RunJob(std::function<void()> work, std::function<void()> then = {});
  // For a job whose result is no longer wanted (a dialog's read that was
  // cancelled): its drive commands stop, the one waiting for the drive
  // included, so that it ends at once instead of waiting out a drive that
  // does not answer. Commands go to the drive again once it has ended.
  void CancelDriveJob();
  // Enables what can act now: while an operation or a drive job runs only
  // Abort (for a write or erase) stays usable.
  void UpdateControls();
  // True from Abort (or a close answered Yes) until the operation ended.
  bool Aborting() const { return aborting_; }
  // The bytes per second over the last few seconds of a write: Samples
  // holds (milliseconds, bytes written) pairs; older ones are dropped.
  using TRateSamples = std::deque<std::pair<int64_t, int64_t>>;
  static double RecentRate(TRateSamples &Samples, int64_t NowMs, int64_t Bytes);
  static constexpr int64_t kRateWindowMs = 5000;
  // Why a burn of the compilation cannot happen, for the user; empty when it can.
  static QString BurnRefusalText(const std::string &LibraryText);
  // Sends a desktop notification when the window is not the active one;
  // does nothing where no notification service runs.
  void NotifyEnd(const QString &Summary, const QString &Body);

  std::unique_ptr<TOrvBurner> orvBurn;
  TfrmAddFiles *AddFilesDialog() const { return frmAddFiles_; }
  TLiveUpdate *LiveUpdate() const { return liveUpdate_.get(); }
  TOptions &Options() { return options_; }

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
  QCheckBox *chkRockRidge = nullptr;
  QToolButton *cmdRockRidge = nullptr;  // the menu of the two Rock Ridge settings
  QAction *actKeepPermissions = nullptr, *actStoreSymlinks = nullptr;
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
  QCheckBox *chkVerify;
  QTimer *tmrProgress;
  // Speed, drive buffer and time left while a write runs; the last result after it.
  QLabel *lblProgressInfo, *lblResult;

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

  // ---- layout, keyboard, placement and names (uFrmMain.cpp, uFrmMain_files.cpp) ----
  // The default client size, and the smallest the window allows.
  static constexpr int kDefaultWidth = 642, kDefaultHeight = 636, kMinWidth = 642, kMinHeight = 569;
  // The label a burn or an image gets: the field's text, else the name of the
  // first entry's folder, which the empty field shows as its placeholder.
  QString VolumeLabelToUse() const;
  QString FirstEntryFolderName() const;
  // "Save ISO": the preset is a full path in the home folder named after the
  // label; a relative answer is taken from the home folder.
  QString DefaultImagePath() const;
  static QString ResolveImagePath(const QString &name);
  // Opens the product's web page through xdg-open (or the toolkit where there
  // is none), without waiting for it; says the address when that fails.
  void OpenHomePage();
  void ShowHomePageAddress(const QUrl &url);
  // The Escape key: presses Close Track, asking first when the disc has an
  // open session.
  void EscapePressed();
  // Places the window as it was left (or centred at its default size), in
  // every case inside the screen's available area.
  void RestorePlacement();
  void FitToScreen();
  // Tests open the web page through here; returns whether it opened.
  static std::function<bool(const QUrl &)> OpenUrlHook;

protected:
  // A close while a write, erase or format runs asks first; Yes aborts it
  // and the window closes once it has ended.
  void closeEvent(QCloseEvent *event) override;
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
    bool OpenSession = false;  // the last session is incomplete
  };
  void BuildFilesPanel();
  void BuildSettingsPanel();
  void BuildBurnPanel();
  void BuildMenu();
  QWidget *MakePanel(const char *name, const char *headerName, const QString &caption, QLabel *&label,
                     QLabel **glyph);
  void CopyOptionsToControls();
  void StartDrives();
  bool StartDriveJob(std::function<void()> work, std::function<void()> then = {});
  // Invoked by name from the job's thread: Qt's own queued call then carries
  // nothing the worker allocated.
  Q_INVOKABLE void DriveJobEnded();
  void JoinDriveJob();
  void SelectOnJob(const std::string &deviceString);
  void orvBurnDeviceChange(TObject *Sender);
  void ApplyDeviceState(const TDeviceState &st);
  enum class TOperation { None, Burn, BuildImage, BurnImage, Erase };
  void orvBurnWriteDone(TObject *Sender, const std::string &Error);
  void orvBurnEraseDone(TObject *Sender, bool WithError);
  // Marks the start of an operation: progress figures reset, the last result cleared.
  void BeginOperation(TOperation op, const QString &state);
  void EndOperation();
  // Shows the message after the current event (the library's thread that
  // reported the end is not held while the box is open).
  void PostMessage(const QString &text, const QString &caption, int icon);
  bool StartErase(bool quick);
  void RestoreTitle();
  void FormActivate();

  TOptions &options_;
  TfrmAddFiles *frmAddFiles_ = nullptr;
  std::unique_ptr<TLiveUpdate> liveUpdate_;
  bool activated_ = false;
  bool closing_ = false;  // main thread only: queued calls do nothing once set
  int64_t usedBytes_ = 0;
  TOperation operation_ = TOperation::None;
  bool doneSeen_ = false;  // a completion handler ran since the operation began
  QElapsedTimer opClock_;
  QStringList leftOut_;
  QString layoutNote_;  // of the compilation being written; shown with its result
  std::thread driveJob_;
  std::atomic<bool> driveJobRunning_{false};
  // Layout and placement.
  bool shown_ = false;        // the window was shown: its placement is saved
  bool openSession_ = false;  // the medium read last has an open session
  void SetTabOrder();
  void SavePlacement() const;

  // ---- jobs, controls and ending (main thread only) ----
  // The list's rows for a fill on the worker, and what the fill found.
  struct TPrepared {
    struct TRow {
      QString Path;
      bool Checked;
    };
    std::vector<TRow> Rows;
    bool KeepPath = false, LastFolder = false;
    QString SpeedText;
    QString Error;        // told to the user instead of going on
    QStringList LeftOut;  // entries the compilation leaves out
    QString Note;         // what the layout changed that the user should know
    int64_t Sectors = 0;
  };
  bool jobActive_ = false;        // from a job's start until its `then` ran
  std::function<void()> jobThen_;
  bool refreshPending_ = false;   // read the medium again once the job ended
  bool quitAfterOp_ = false;      // close once the operation has ended
  bool aborting_ = false;
  bool driveBurns_ = false;       // the selected drive writes some medium
  int64_t opSectors_ = -1;        // sectors of the running write; -1: none
  TRateSamples rateSamples_;
  std::vector<double> speeds_;  // KB/s the drive accepts for the medium, read at selection
  uint8_t speedsType_ = 0;
  std::vector<double> ReadSpeeds(uint8_t discType);
  bool CanStart() const { return !Busy() && !jobActive_; }
  void StartBurn();
  void StartWriteJob(std::function<bool()> start, const char *failText);
  // Eject (on the worker) and then read the medium again.
  void EjectThenRefresh();
  bool ejectPending_ = false;
  bool EjectCommands();  // on the worker: unlock and open the tray
  // Rows of the list, read on the window's thread for a fill on the worker.
  std::shared_ptr<TPrepared> GatherRows() const;
  // On any thread: fills the compilation; the reason it cannot, or empty.
  QString FillFrom(TPrepared &p);
  // On any thread: imports SessionToImport; why it failed, or empty.
  QString ImportText();
  // Ends an operation that never started writing, without a result.
  void EndUnstarted();
  // After the preparation on the worker: false (the operation ended, the
  // reason told) when it failed or was aborted meanwhile.
  bool PreparedOk(const TPrepared &p);
  void ShowOperationEnd(const QString &text, const QString &caption, bool notify);
};

// A drop-down list that shortens its shown text with an ellipsis where it
// lacks the room (its tooltip holds the whole), and opens a list wide
// enough for every entry.
class TElidedCombo : public QComboBox {
public:
  explicit TElidedCombo(QWidget *parent);

protected:
  void paintEvent(QPaintEvent *) override;
};

// A combo box that runs OnDropDown each time its list is opened.
class TDropDownCombo : public TElidedCombo {
public:
  using TElidedCombo::TElidedCombo;
  std::function<void()> OnDropDown;
  void showPopup() override {
    if (OnDropDown)
      OnDropDown();
    TElidedCombo::showPopup();
  }
};

// The file list: accepts drops from the add-files dialog's lists and
// text/uri-list drops from other programs.
class TFileListView : public QTreeWidget {
  Q_OBJECT
public:
  explicit TFileListView(TfrmMain *owner);
  bool AcceptsSource(const QDropEvent *e) const;
  // Widens the size column to the widest size it shows.
  void FitSizeColumn();

protected:
  void keyPressEvent(QKeyEvent *e) override;
  void dragEnterEvent(QDragEnterEvent *e) override;
  void dragMoveEvent(QDragMoveEvent *e) override;
  void dropEvent(QDropEvent *e) override;

private:
  void PostWarning(const QString &text);
  TfrmMain *owner_;
  int sizeNeed_ = 0;
};
