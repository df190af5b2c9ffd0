// The disc information dialog: the medium, its size, used and free space,
// the disc status and one row per session; "Show Files" reads the chosen
// session into the compilation on the window's worker and then opens the
// extract dialog.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include <vector>

class TfrmMain;
class TOrvBurner;

// What the dialog shows, read from the drive on the window's worker.
struct TDiscInfoData {
  bool Ready = false;
  QString Medium, DiscSize, UsedSpace, FreeSpace;
  struct TSession {
    uint32_t Start;
    int64_t SizeMb;
  };
  std::vector<TSession> Sessions;
};

class TfrmDiscInfo : public QDialog {
  Q_OBJECT
public:
  explicit TfrmDiscInfo(TfrmMain *owner);

  // Reads the selected drive (any thread; drive commands only).
  static TDiscInfoData ReadDisc(TOrvBurner &b);
  // Shows what was read; false (after telling the user) when the drive was
  // not ready.
  bool Apply(const TDiscInfoData &d);
  // Reads and shows at once, on the calling thread.
  bool Fill();
  // "Reading the disc..." until Apply: Show Files off, Close cancels.
  void ShowReading();
  // The session Show Files reads: the selected row, else the focused one,
  // else the only one; 0 when none.
  int ChosenSession() const;
  // Reads the selected session into an emptied compilation on the calling
  // thread; false (after telling the user) when no session is selected or
  // it cannot be read.
  bool ImportSelectedSession();
  // Reads the chosen session on the window's worker: "Reading the disc..."
  // with Cancel meanwhile, then the extract dialog (or why it failed).
  void cmdShowFilesClick();
  // True from Show Files until the session was read or the read cancelled.
  bool ReadingSession() const { return readingSession_ != 0; }
  bool ReadingDisc() const { return readingDisc_; }

  QLabel *lblInfo01, *lblInfo02, *lblInfo03, *lblInfo04;
  QLabel *lblMedium, *lblDiscSize, *lblUsedSpace, *lblFreeSpace;
  QTreeWidget *lvwSessions;
  QPushButton *cmdShowFiles, *cmdClose;
  QLabel *lblState;  // what the dialog waits for, beside the buttons

  // Any thread: empties the compilation and imports session Number into it.
  static bool ImportSession(TOrvBurner &b, int Number);

public slots:
  // Closing while the disc or a session is read cancels the read: its drive
  // commands stop and its result is dropped.
  void done(int result) override;

private:
  // Back on the window's thread after the worker read session Number.
  void SessionRead(int Number, bool Ok);
  // ChosenSession, or 0 after asking the user to choose one.
  int ChosenSessionOrAsk();
  void ShowReadFailure(int Number);
  TfrmMain *owner_;
  int readingSession_ = 0;
  bool readingDisc_ = false;  // from ShowReading until Apply
};
