// Threads, events, sleeping and calls into the main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace ov {

// Every sleep of the library goes through Sleep, so tests can run the polling
// loops on a scaled clock: a scale of 0.01 makes Sleep(1000) last 10 ms.
void Sleep(uint32_t ms);
void SetTimeScale(double scale);
double TimeScale();

// A Win32-style event: manual-reset or auto-reset, initially set or not.
class TEvent {
public:
  explicit TEvent(bool manualReset = true, bool initialState = false);
  void SetEvent();
  void ResetEvent();
  // Waits up to ms milliseconds of real time;
  // UINT32_MAX waits forever. Returns true when the event was set.
  bool WaitFor(uint32_t ms);

private:
  std::mutex m_;
  std::condition_variable cv_;
  bool manual_;
  bool state_;
};

// Runs fn on the main thread and waits until it has run. On the main thread
// itself fn runs at once. Without an installed dispatcher the call is queued
// until the main thread calls CheckSynchronize.
void Synchronize(const std::function<void()> &fn);
// Runs the queued calls (main thread only). Waits up to timeoutMs for the
// first one when the queue is empty. Returns true when at least one ran.
bool CheckSynchronize(uint32_t timeoutMs = 0);
// A dispatcher (the GUI's) that posts fn to the main thread's event loop.
// Calls still go through the queue of CheckSynchronize; fn drains it, so the
// dispatcher only wakes the loop. Pass an empty function to remove it.
void SetSyncDispatcher(std::function<void(std::function<void()>)> dispatcher);
// The thread that counts as the main thread: the first thread that touched
// this layer, or the one named here.
void SetMainThread();
bool IsMainThread();

// Best-effort thread priorities (setpriority on the calling thread).
enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
void SetCurrentThreadPriority(TThreadPriority p);

// Hook for the audible notice of the tree (the GUI sets it to a beep).
void SetBeepHook(std::function<void()> hook);
void MessageBeep();

} // namespace ov
