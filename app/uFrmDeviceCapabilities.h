// What the selected drive can read and write, as recorded when it was
// selected. Read-only; sends nothing to the drive.
#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include <vector>

class TSCSIDevice;

class TfrmDeviceCapabilities : public QDialog {
  Q_OBJECT
public:
  explicit TfrmDeviceCapabilities(QWidget *owner);
  void ShowFor(const TSCSIDevice &device);

  QWidget *pnlCaps;
  QLabel *lblDeviceName, *lblMaxWriteSpeed, *lblMaxReadSpeed;
  std::vector<QCheckBox *> Boxes;  // in the order of kRows
  QPushButton *cmdClose;

  struct TRow {
    const char *Name;
    const char *Caption;
    int Bit;
    bool Write;  // shown in the right-hand column
  };
  static constexpr int kRowCount = 20;
  static const TRow kRows[kRowCount];
};
