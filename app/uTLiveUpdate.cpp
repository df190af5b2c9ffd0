#include "uTLiveUpdate.h"

#include "ovSync.h"

#include <algorithm>

TLiveUpdate::TLiveUpdate() { threads_.OwnsObjects = false; }

TLiveUpdate::~TLiveUpdate() {
  closing_ = true;
  for (auto &inet : inets_)
    inet->Terminate();
  // A fetch may be waiting for the main thread to take an event: keep
  // running the queued calls (they see closing_ and do nothing) until it ends.
  for (auto &inet : inets_) {
    while (!inet->Finished())
      ov::CheckSynchronize(10);
    inet->Join();
  }
}

void TLiveUpdate::Deliver(std::function<void()> fn) {
  ov::Synchronize([this, fn] {
    if (!closing_)
      fn();
  });
}

bool TLiveUpdate::Pending(const std::string &name) const {
  return threads_.IndexOf(name) >= 0 || buffers_.IndexOf(name) >= 0;
}

bool TLiveUpdate::Fetch(const std::string &name, const std::string &URL) {
  ReapFinished();
  if (Pending(name))
    return false;
  auto inet = std::make_unique<TInet>(name);
  inet->TimeoutMs = TimeoutMs;
  inet->OnData = [this](const std::string &n, const std::string &chunk) {
    Deliver([this, n, chunk] { InetData(n, chunk); });
  };
  inet->OnFail = [this](const std::string &n) { Deliver([this, n] { InetFail(n); }); };
  inet->OnDone = [this](const std::string &n) { Deliver([this, n] { InetDone(n); }); };
  threads_.AddObject(name, inet.get());
  buffers_.AddObject(name, new TStringStream);
  TInet *started = inet.get();
  inets_.push_back(std::move(inet));
  started->Start(URL, "", "");
  return true;
}

void TLiveUpdate::InetData(const std::string &name, const std::string &chunk) {
  const int i = buffers_.IndexOf(name);
  if (i >= 0)
    static_cast<TStringStream *>(buffers_.Objects(i))->DataString += chunk;
}

void TLiveUpdate::RemovePending(const std::string &name) {
  const int i = threads_.IndexOf(name);
  if (i >= 0)
    threads_.Delete(i);
}

void TLiveUpdate::InetFail(const std::string &name) {
  RemovePending(name);
  const int i = buffers_.IndexOf(name);
  if (i >= 0)
    buffers_.Delete(i);
  if (OnFailed)
    OnFailed(name);
}

void TLiveUpdate::InetDone(const std::string &name) {
  RemovePending(name);
  std::string text;
  const int i = buffers_.IndexOf(name);
  if (i >= 0) {
    text = static_cast<TStringStream *>(buffers_.Objects(i))->DataString;
    buffers_.Delete(i);
  }
  if (OnText)
    OnText(name, text);
}

// A fetch whose last event has run only has its thread left to end.
void TLiveUpdate::ReapFinished() {
  auto done = std::stable_partition(inets_.begin(), inets_.end(),
                                    [](const std::unique_ptr<TInet> &t) { return !t->Finished(); });
  for (auto it = done; it != inets_.end(); ++it)
    (*it)->Join();
  inets_.erase(done, inets_.end());
}
