#include "ovASPI.h"

#include "ovSPTI.h"
#include "wnaspi32.h"

#include <atomic>
#include <cassert>
#include <dlfcn.h>
#include <mutex>
#include <unistd.h>

namespace {

using TGetDeviceNameFn = int (*)(uint8_t, uint8_t, uint8_t, char *, int);

struct TASPIState {
  std::mutex M;
  void *Library = nullptr;
  std::string LayerName;
  bool UseSPTI = false;
  std::atomic<bool> Initialized{false};
  std::atomic<PFN_GetASPI32SupportInfo> GetSupportInfo{nullptr};
  std::atomic<PFN_SendASPI32Command> SendCommand{nullptr};
  std::atomic<TGetDeviceNameFn> GetDeviceName{nullptr};
};

TASPIState &State() {
  static TASPIState s;
  return s;
}

void InstallEmulation(TASPIState &s) {
  s.GetSupportInfo = &SPTIGetSupportInfo;
  s.SendCommand = &SPTISendCommand;
  s.GetDeviceName = nullptr;
  s.LayerName = kASPILayerEmulation;
  s.Initialized = true;
}

void FreeLibrary(TASPIState &s) {
  if (!s.Library)
    return;
  s.Initialized = false;
  s.GetSupportInfo = nullptr;
  s.SendCommand = nullptr;
  s.GetDeviceName = nullptr;
  ::dlclose(s.Library);
  s.Library = nullptr;
  s.LayerName.clear();
}

bool LoadLibrary(TASPIState &s, const std::string &path) {
  void *h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h)
    return false;
  auto info = reinterpret_cast<PFN_GetASPI32SupportInfo>(::dlsym(h, "GetASPI32SupportInfo"));
  auto send = reinterpret_cast<PFN_SendASPI32Command>(::dlsym(h, "SendASPI32Command"));
  if (!info || !send) {
    // Not an ASPI layer: both entry points are required.
    ::dlclose(h);
    return false;
  }
  s.Library = h;
  s.GetSupportInfo = info;
  s.SendCommand = send;
  s.GetDeviceName = reinterpret_cast<TGetDeviceNameFn>(::dlsym(h, "SkarvoGetDeviceName"));
  s.LayerName = kASPILayerLibrary;
  s.Initialized = true;
  return true;
}

std::string OwnFolder() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0)
    return {};
  std::string path(buf, static_cast<size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool InitLocked(TASPIState &s, bool UseSPTI, const std::string &DllPath) {
  // A library loaded by an earlier call is released first, so handles do not
  // pile up and a new path takes effect.
  FreeLibrary(s);
  if (s.Initialized && s.LayerName == kASPILayerEmulation) {
    s.Initialized = false;
    DoneSPTI();
  }
  if (UseSPTI && InitSPTI() > 0)
    InstallEmulation(s);
  if (!s.Initialized) {
    if (!DllPath.empty())
      LoadLibrary(s, DllPath);
    if (!s.Initialized)
      LoadLibrary(s, "./libwnaspi32.so");
    if (!s.Initialized)
      LoadLibrary(s, "libwnaspi32.so");
    // The program's own folder, which the loader's search covers through
    // RUNPATH $ORIGIN, except when dlopen is reached through an interposing
    // runtime (sanitizers) whose own search path is used instead.
    if (!s.Initialized) {
      const std::string own = OwnFolder();
      if (!own.empty())
        LoadLibrary(s, own + "/libwnaspi32.so");
    }
  }
  if (!s.Initialized && InitSPTI() > 0)
    InstallEmulation(s);
  if (s.Initialized)
    (void)s.GetSupportInfo.load()();
  s.UseSPTI = UseSPTI;
  return s.Initialized;
}

} // namespace

bool InitASPI(bool UseSPTI, const std::string &DllPath) {
  TASPIState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  return InitLocked(s, UseSPTI, DllPath);
}

void ReinitASPI() {
  TASPIState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  if (s.Library) {
    FreeLibrary(s);
  } else if (s.LayerName == kASPILayerEmulation) {
    s.Initialized = false;
    DoneSPTI();
  }
  InitLocked(s, s.UseSPTI, "");
}

void UnloadASPI() {
  TASPIState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  FreeLibrary(s);
}

bool ASPIIsInitialized() { return State().Initialized.load(); }

std::string ASPILayerName() {
  TASPIState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  return s.Initialized ? s.LayerName : std::string();
}

bool ASPIEmulationActive() { return ASPILayerName() == kASPILayerEmulation; }

uint32_t ASPIGetSupportInfo() {
  TASPIState &s = State();
  if (!s.Initialized)
    return static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
  PFN_GetASPI32SupportInfo fn = s.GetSupportInfo.load();
  return fn ? fn() : static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
}

uint32_t ASPISendCommand(void *srb) {
  TASPIState &s = State();
  PFN_SendASPI32Command fn = s.Initialized ? s.SendCommand.load() : nullptr;
  if (!fn) {
    if (srb)
      static_cast<SRB_Header *>(srb)->SRB_Status = SS_NO_ASPI;
    return SS_NO_ASPI;
  }
  return fn(srb);
}

bool ASPIGetDeviceName(uint8_t ha, uint8_t target, uint8_t lun, std::string &name) {
  TASPIState &s = State();
  TGetDeviceNameFn fn = s.Initialized ? s.GetDeviceName.load() : nullptr;
  if (!fn)
    return false;
  char buf[256] = {};
  if (fn(ha, target, lun, buf, sizeof buf) != 1)
    return false;
  buf[sizeof buf - 1] = 0;
  name = buf;
  return !name.empty();
}
