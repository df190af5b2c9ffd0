// Program start: the single-instance lock and the process-wide set-up.
#pragma once

#include <string>

// The folder that holds the lock file: $XDG_RUNTIME_DIR when it is a folder
// of this user's that nobody else can enter, else "skarvo-<uid>" in the
// temporary folder, created with mode 0700. Empty when neither can be
// trusted (for example a folder of that name made by another user).
std::string InstanceLockFolder();
// The lock file: named after the product and the display, so that one copy
// runs per user and per display.
std::string InstanceLockPath();
enum class TInstance { First, AlreadyRunning };
// Takes an exclusive lock on the lock file for the life of the process.
// A lock file that cannot be opened (or is a link) lets the program run
// (as the first).
TInstance TakeInstanceLock();
// Creates the extract folder, with its parents, when it does not exist; a
// failure is ignored.
void EnsureExtractFolder(const std::string &folder);
// Routes the library's Synchronize to the Qt event loop of this thread,
// which becomes the main thread.
void InstallSyncDispatcher();
void RemoveSyncDispatcher();
