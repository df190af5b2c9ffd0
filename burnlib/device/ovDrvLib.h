// The device class: the selected recorder, its address, errors and log.
#pragma once

#include "wnaspi32.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class TObject {
public:
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject *Sender)>;
using TOnDebugMsg = std::function<void(TObject *Sender, const std::string &Message, uint8_t mType)>;
using TEraseDoneEvent = std::function<void(TObject *Sender, bool WithError)>;
using TDeviceChangedEvent = std::function<void(TObject *Sender)>;

class TSCSIDevice : public TObject {
public:
  TSCSIDevice();
  ~TSCSIDevice() override;
  TSCSIDevice(const TSCSIDevice &) = delete;
  TSCSIDevice &operator=(const TSCSIDevice &) = delete;

  // Current device address; 254 in all three means no device is selected.
  uint8_t HaId = 254;
  uint8_t Target = 254;
  uint8_t Lun = 254;

  std::string ErrorText;
  uint8_t LastSense[SKARVO_SRB_SENSE_AREA] = {};
  bool TargetBusy = false;

  bool DoDebug = false;
  TOnDebugMsg OnDebugMessage;
  TDeviceChangedEvent OnDeviceChange;
  TEraseDoneEvent OnEraseDone;

  uint32_t DeviceBufferSize = 0;
  uint32_t DeviceFreeBufferSize = 0;
  bool UnderrunProtection = true;
  uint16_t ReadSpeed = 0;
  bool FinalizeDisc = false;
  bool TestWrite = false;

  bool ASPIInitialized() const;
  bool Erasing() const { return erasing_.load(); }

  // Executes one request on the current device and waits for it; the
  // outcome is SRB_Status (1 = completed).
  void ExecSRB(SRB_ExecSCSICmd &srb, uint32_t timeoutMs);
  void DebugMsg(const std::string &Message, uint8_t mType);

  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }

protected:
  std::recursive_mutex lock_;
  std::atomic<bool> erasing_{false};
};
