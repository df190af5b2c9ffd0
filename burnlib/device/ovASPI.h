// Transport choice: a loaded ASPI library or the SG_IO pass-through
// emulation. One transport serves the whole process.
#pragma once

#include <cstdint>
#include <string>

// Layer names reported by ASPILayerName().
inline constexpr const char *kASPILayerLibrary = "WNASPI32.DLL";
inline constexpr const char *kASPILayerEmulation = "OVASPI32";

// Installs a transport. With UseSPTI the pass-through emulation is tried
// first; otherwise (or when it finds no drive) the ASPI library is loaded
// from DllPath when given, then ./libwnaspi32.so, then libwnaspi32.so through
// the loader's search. Returns whether a transport is installed.
bool InitASPI(bool UseSPTI, const std::string &DllPath);
// Tears down the active transport and installs one again with the remembered
// preference and no library path.
void ReinitASPI();
// Frees a loaded ASPI library and clears the initialised state.
void UnloadASPI();

bool ASPIIsInitialized();
// "WNASPI32.DLL", "OVASPI32" or empty.
std::string ASPILayerName();
// True while the pass-through emulation is the active transport.
bool ASPIEmulationActive();

// The two entry points of the active transport. Without a transport,
// ASPISendCommand fails with SS_NO_ASPI and ASPIGetSupportInfo reports
// SS_NO_ADAPTERS.
uint32_t ASPIGetSupportInfo();
uint32_t ASPISendCommand(void *srb);

// The optional name a loaded library gives a drive (SkarvoGetDeviceName).
// Returns false when the library has no such export or no such drive.
bool ASPIGetDeviceName(uint8_t ha, uint8_t target, uint8_t lun, std::string &name);
