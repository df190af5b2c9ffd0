// The main window's drives: the scan and each selection run on a worker
// thread so the window stays responsive; results come back to the window's
// thread through the library's Synchronize.
#include "uFrmMain.h"

#include "CDSizer.h"
#include "ovSync.h"

#include <QMessageBox>

#include <cmath>

namespace {
// Disc information byte 2, bits 2-3: the state of the last session
// (0 empty, 1 incomplete, 2 damaged, 3 complete).
bool LastSessionOpen(const uint8_t *discInformation) {
  constexpr uint8_t kIncomplete = 1;
  return ((discInformation[2] >> 2) & 3) == kIncomplete;
}
} // namespace

void TfrmMain::StartDriveJob(std::function<void()> work) {
  JoinDriveJob();
  driveJobRunning_.store(true);
  cmbDrives->setEnabled(false);
  driveJob_ = std::thread([this, work = std::move(work)] {
    work();
    ov::Synchronize([this] {
      if (closing_)
        return;
      cmbDrives->setEnabled(true);
    });
    driveJobRunning_.store(false);
  });
}

// On the window's thread: waits for the job, running the calls it queues.
void TfrmMain::JoinDriveJob() {
  if (!driveJob_.joinable())
    return;
  while (driveJobRunning_.load())
    ov::CheckSynchronize(10);
  driveJob_.join();
}

void TfrmMain::StartDrives() {
  StartDriveJob([this] {
    const bool ok = orvBurn->InitializeASPI(true, "");
    const bool initialized = ok && orvBurn->ASPIInitialized();
    const std::vector<std::string> devices = orvBurn->DeviceList;
    ov::Synchronize([this, initialized, devices] {
      if (closing_)
        return;
      if (!initialized)
        ShowMessage(this, QStringLiteral("Error initializing ASPI Layer."), QStringLiteral("Warning"),
                    QMessageBox::Warning);
      cmbDrives->clear();
      for (const std::string &d : devices)
        cmbDrives->addItem(QString::fromStdString(d));
      if (!devices.empty())
        cmbDrives->setCurrentIndex(0);
    });
    if (!devices.empty())
      SelectOnJob(devices.front());
  });
}

void TfrmMain::cmbDrivesChange() {
  const std::string device = cmbDrives->currentText().toStdString();
  StartDriveJob([this, device] { SelectOnJob(device); });
}

void TfrmMain::RefreshDrive() {
  if (!DriveJobRunning() && cmbDrives->count() > 0)
    cmbDrivesChange();
}

// On the job's thread: selects the drive (which reads the medium through
// OnDeviceChange), then shows what it found.
void TfrmMain::SelectOnJob(const std::string &deviceString) {
  orvBurn->SelectDevice(deviceString);
  const char letter = orvBurn->DriveLetter();
  const std::string name = orvBurn->DriveName();
  const bool burns = orvBurn->HasCapability(capWriteCDR) || orvBurn->HasCapability(capWriteDVDR) ||
                     orvBurn->HasCapability(capWriteDVDRAM);
  ov::Synchronize([this, deviceString, letter, name, burns] {
    if (closing_)
      return;
    cmbDrives->setToolTip(QString::fromStdString(deviceString));
    lblDrive->setText(letter ? QStringLiteral("Drive ") + QString::fromStdString(name)
                             : QStringLiteral("Drive :"));
    cmdBurn->setEnabled(burns);
  });
}

// Raised by SelectDevice on the thread that selects: reads the medium there
// and applies it on the window's thread.
void TfrmMain::orvBurnDeviceChange(TObject *) {
  TDeviceState st;
  st.Underrun = orvBurn->UnderrunProtection;
  st.UnderrunCapable = orvBurn->HasCapability(capUnderrunProtection);
  st.IdVolume = orvBurn->IdVolume;
  st.DiscStatus = orvBurn->DiscStatus();
  st.OpenSession = st.DiscStatus != -1 && LastSessionOpen(orvBurn->DiscInformation);
  if (st.DiscStatus != -1) {
    st.Capacity = orvBurn->DiscCapacity();
    st.UsedBlocks = orvBurn->UsedBlocks();
  }
  ov::Synchronize([this, st] {
    if (!closing_)
      ApplyDeviceState(st);
  });
}

void TfrmMain::ApplyDeviceState(const TDeviceState &st) {
  chkUnderrunProtection->setChecked(st.Underrun);
  chkUnderrunProtection->setEnabled(st.UnderrunCapable);
  txtVolumeLabel->setText(QString::fromStdString(st.IdVolume));
  openSession_ = st.OpenSession;
  if (st.DiscStatus == -1)
    return;
  // Megabytes rounded half to even.
  const double mb = std::nearbyint(st.Capacity / 1024.0 / 1024.0 * 2048.0);
  cdsSize->SetMaxMemory(static_cast<int>(std::nearbyint(mb * 1.2)));
  cdsSize->SetMaxCDSize(static_cast<int>(mb));
  usedBytes_ = static_cast<int64_t>(st.UsedBlocks) * 2048;
  UpdateDiscSpace();
}
