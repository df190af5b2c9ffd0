// A set of named HTTP fetches: collects each body and reports the whole
// text under its name. Events reach the owner's (main) thread through the
// library's Synchronize, so the lists are only touched on that thread.
#pragma once

#include "uTCustomStringList.h"
#include "uTInet.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TLiveUpdate {
public:
  TLiveUpdate();
  // Stops the fetches still running and waits for them; their events are
  // dropped. Must run on the main thread.
  ~TLiveUpdate();
  TLiveUpdate(const TLiveUpdate &) = delete;
  TLiveUpdate &operator=(const TLiveUpdate &) = delete;

  std::function<void(const std::string &name)> OnFailed;
  std::function<void(const std::string &name, const std::string &text)> OnText;
  // Applied to every fetch started from now on.
  int TimeoutMs = 30000;

  // Starts a fetch unless one of that name is pending; returns whether it did.
  bool Fetch(const std::string &name, const std::string &URL);
  bool Pending(const std::string &name) const;
  int PendingCount() const { return threads_.Count(); }

private:
  void InetData(const std::string &name, const std::string &chunk);
  void InetFail(const std::string &name);
  void InetDone(const std::string &name);
  // Runs fn on the main thread unless the fetcher is being freed.
  void Deliver(std::function<void()> fn);
  void RemovePending(const std::string &name);
  void ReapFinished();

  TCustomStringList threads_;  // pending fetches; objects are the TInet, not owned
  TCustomStringList buffers_;  // body so far per name; owns its TStringStream
  std::vector<std::unique_ptr<TInet>> inets_;  // every fetch not yet joined
  bool closing_ = false;       // main thread only
};
