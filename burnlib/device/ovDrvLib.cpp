#include "ovDrvLib.h"

#include <cstring>

TSCSIDevice::TSCSIDevice() = default;
TSCSIDevice::~TSCSIDevice() = default;

bool TSCSIDevice::ASPIInitialized() const { return false; }

void TSCSIDevice::ExecSRB(SRB_ExecSCSICmd &srb, uint32_t /*timeoutMs*/) {
  ErrorText.clear();
  TargetBusy = false;
  std::memset(LastSense, 0, sizeof LastSense);
  // No transport is up: the request fails at once.
  srb.SRB_Status = SS_ILLEGAL_MODE;
}

void TSCSIDevice::DebugMsg(const std::string &Message, uint8_t mType) {
  if (OnDebugMessage)
    OnDebugMessage(this, Message, mType);
}
