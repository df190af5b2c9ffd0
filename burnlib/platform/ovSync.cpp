#include "ovSync.h"

#include <atomic>
#include <deque>
#include <memory>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace ov {

namespace {

std::atomic<double> g_timeScale{1.0};

struct TSyncCall {
  std::function<void()> Fn;
  std::mutex M;
  std::condition_variable Cv;
  bool Done = false;
};

struct TSyncState {
  std::mutex M;
  std::condition_variable Cv;
  std::deque<std::shared_ptr<TSyncCall>> Queue;
  std::function<void(std::function<void()>)> Dispatcher;
  std::thread::id MainThread;
  bool MainSet = false;
  std::function<void()> Beep;
};

void RunCall(TSyncCall &call) {
  call.Fn();
  {
    std::lock_guard<std::mutex> g(call.M);
    call.Done = true;
  }
  call.Cv.notify_all();
}

TSyncState &State() {
  static TSyncState s;
  return s;
}

// The first thread that asks is the main thread unless one was named.
std::thread::id MainThreadId() {
  TSyncState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  if (!s.MainSet) {
    s.MainThread = std::this_thread::get_id();
    s.MainSet = true;
  }
  return s.MainThread;
}

// Run the main thread's first-touch registration at load time, so a worker
// thread can never be taken for the main thread.
[[maybe_unused]] const bool g_mainRegistered = (MainThreadId(), true);

} // namespace

void SetTimeScale(double scale) { g_timeScale.store(scale > 0 ? scale : 1.0); }
double TimeScale() { return g_timeScale.load(); }

void Sleep(uint32_t ms) {
  const double scaled = ms * g_timeScale.load();
  std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(scaled * 1000.0)));
}

TEvent::TEvent(bool manualReset, bool initialState) : manual_(manualReset), state_(initialState) {}

void TEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> g(m_);
    state_ = true;
  }
  cv_.notify_all();
}

void TEvent::ResetEvent() {
  std::lock_guard<std::mutex> g(m_);
  state_ = false;
}

bool TEvent::WaitFor(uint32_t ms) {
  std::unique_lock<std::mutex> l(m_);
  auto ready = [this] { return state_; };
  if (ms == UINT32_MAX)
    cv_.wait(l, ready);
  else if (!cv_.wait_for(l, std::chrono::milliseconds(ms), ready))
    return false;
  if (!manual_)
    state_ = false;
  return true;
}

void SetMainThread() {
  TSyncState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  s.MainThread = std::this_thread::get_id();
  s.MainSet = true;
}

bool IsMainThread() { return MainThreadId() == std::this_thread::get_id(); }

void SetSyncDispatcher(std::function<void(std::function<void()>)> dispatcher) {
  TSyncState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  s.Dispatcher = std::move(dispatcher);
}

void Synchronize(const std::function<void()> &fn) {
  if (!fn)
    return;
  if (IsMainThread()) {
    fn();
    return;
  }
  auto call = std::make_shared<TSyncCall>();
  call->Fn = fn;
  TSyncState &s = State();
  std::function<void(std::function<void()>)> dispatcher;
  {
    std::lock_guard<std::mutex> g(s.M);
    dispatcher = s.Dispatcher;
    s.Queue.push_back(call);
  }
  s.Cv.notify_all();
  // The queue stays the only queue: the dispatcher is only told to drain it,
  // so a main thread that waits in CheckSynchronize (joining a worker) runs
  // the call as well and neither side can block the other.
  if (dispatcher)
    dispatcher([] { CheckSynchronize(0); });
  std::unique_lock<std::mutex> l(call->M);
  call->Cv.wait(l, [&] { return call->Done; });
}

bool CheckSynchronize(uint32_t timeoutMs) {
  TSyncState &s = State();
  std::deque<std::shared_ptr<TSyncCall>> batch;
  {
    std::unique_lock<std::mutex> l(s.M);
    if (s.Queue.empty() && timeoutMs > 0)
      s.Cv.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return !s.Queue.empty(); });
    batch.swap(s.Queue);
  }
  for (auto &call : batch)
    RunCall(*call);
  return !batch.empty();
}

void SetCurrentThreadPriority(TThreadPriority p) {
  static const int nice[] = {19, 10, 5, 0, -5, -10, -15};
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  // Raising the priority needs privileges; a refusal is ignored.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice[p]);
}

void SetBeepHook(std::function<void()> hook) {
  TSyncState &s = State();
  std::lock_guard<std::mutex> g(s.M);
  s.Beep = std::move(hook);
}

void MessageBeep() {
  std::function<void()> beep;
  {
    TSyncState &s = State();
    std::lock_guard<std::mutex> g(s.M);
    beep = s.Beep;
  }
  if (beep)
    beep();
}

} // namespace ov
