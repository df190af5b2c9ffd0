// Program start: the single-instance lock and the process-wide set-up.
#pragma once

#include <string>

// The lock file: named after the product, in $XDG_RUNTIME_DIR, else the
// temporary folder.
std::string InstanceLockPath();
enum class TInstance { First, AlreadyRunning };
// Takes an exclusive lock on the lock file for the life of the process.
// A lock file that cannot be opened lets the program run (as the first).
TInstance TakeInstanceLock();
// Creates the extract folder, with its parents, when it does not exist; a
// failure is ignored.
void EnsureExtractFolder(const std::string &folder);
// Routes the library's Synchronize to the Qt event loop of this thread,
// which becomes the main thread.
void InstallSyncDispatcher();
void RemoveSyncDispatcher();
