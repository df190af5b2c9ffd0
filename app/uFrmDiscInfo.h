// The disc information dialog: the medium, its size, used and free space,
// the disc status and one row per session; "Show Files" reads the chosen
// session into the compilation and opens the extract dialog.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

class TfrmMain;

class TfrmDiscInfo : public QDialog {
  Q_OBJECT
public:
  explicit TfrmDiscInfo(TfrmMain *owner);

  // Fills the dialog from the selected drive; false (after telling the
  // user) when the drive is not ready.
  bool Fill();
  // Reads the selected session into an emptied compilation; false (after
  // telling the user) when no session is selected or it cannot be read.
  bool ImportSelectedSession();
  void cmdShowFilesClick();

  QLabel *lblInfo01, *lblInfo02, *lblInfo03, *lblInfo04;
  QLabel *lblMedium, *lblDiscSize, *lblUsedSpace, *lblFreeSpace;
  QTreeWidget *lvwSessions;
  QPushButton *cmdShowFiles, *cmdClose;

private:
  TfrmMain *owner_;
};
