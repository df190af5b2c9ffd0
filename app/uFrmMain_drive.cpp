// The main window's drives: the scan, each selection and every other drive
// command run on the window's worker thread so the window stays responsive;
// results come back to the window's thread through the library's
// Synchronize, and each job's continuation runs once the worker has ended.
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

bool TfrmMain::StartDriveJob(std::function<void()> work, std::function<void()> then) {
  if (jobActive_ || closing_)
    return false;
  JoinDriveJob();  // a job that has ended but whose end is still queued
  orvBurn->ResumeCommands();
  jobActive_ = true;
  jobThen_ = std::move(then);
  driveJobRunning_.store(true);
  UpdateControls();
  driveJob_ = std::thread([this, work = std::move(work)] {
    work();
    driveJobRunning_.store(false);
    // A posted call: the window's thread may be joining this thread, and a
    // call still pending when the window goes is dropped with it.
    QMetaObject::invokeMethod(this, "DriveJobEnded", Qt::QueuedConnection);
  });
  return true;
}

bool TfrmMain::RunJob(std::function<void()> work, std::function<void()> then) {
  return StartDriveJob(std::move(work), std::move(then));
}

void TfrmMain::CancelDriveJob() {
  if (jobActive_ && driveJobRunning_.load())
    orvBurn->CancelCommands();
}

void TfrmMain::DriveJobEnded() {
  if (closing_ || !jobActive_ || driveJobRunning_.load())
    return;
  JoinDriveJob();
  orvBurn->ResumeCommands();
  jobActive_ = false;
  if (auto then = std::exchange(jobThen_, nullptr))
    then();
  if (!jobActive_ && ejectPending_) {
    ejectPending_ = false;
    EjectThenRefresh();
  }
  if (!jobActive_ && refreshPending_) {
    refreshPending_ = false;
    RefreshDrive();
  }
  UpdateControls();
  if (quitAfterOp_ && !Busy() && !jobActive_)
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
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
  if (!StartDriveJob([this, device] { SelectOnJob(device); }))
    refreshPending_ = true;
}

void TfrmMain::RefreshDrive() {
  if (cmbDrives->count() == 0 || quitAfterOp_)
    return;
  if (jobActive_ || Busy())
    refreshPending_ = true;
  else
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
  const uint8_t type = orvBurn->GetDiscType();
  std::vector<double> speeds = ReadSpeeds(type);
  ov::Synchronize([this, deviceString, letter, name, burns, type, speeds = std::move(speeds)] {
    if (closing_)
      return;
    cmbDrives->setToolTip(QString::fromStdString(deviceString));
    lblDrive->setText(letter ? QStringLiteral("Drive ") + QString::fromStdString(name)
                             : QStringLiteral("Drive :"));
    driveBurns_ = burns;
    speeds_ = speeds;
    speedsType_ = type;
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
