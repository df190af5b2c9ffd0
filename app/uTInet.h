// One HTTP/1.0 GET on a thread of its own, through libcurl. The body is
// handed over in pieces; the fetch succeeds exactly when the bytes received
// equal the Content-Length header. Events are raised on the fetch's thread.
#pragma once

#include "ovDrvLib.h"  // TObject

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

class TInet : public TObject {
public:
  explicit TInet(std::string name);
  // Stops a running fetch and waits for its thread.
  ~TInet() override;
  TInet(const TInet &) = delete;
  TInet &operator=(const TInet &) = delete;

  std::function<void(const std::string &name, int status, int64_t length)> OnHeader;
  std::function<void(const std::string &name, const std::string &chunk)> OnData;
  std::function<void(const std::string &name)> OnDone;
  std::function<void(const std::string &name)> OnFail;
  std::function<void(const std::string &name, int code)> OnError;

  // Gives up on a server that sends nothing for this long.
  int TimeoutMs = 30000;

  const std::string &Name() const { return name_; }
  bool Busy() const { return busy_.load(); }
  // True once the last event has been raised.
  bool Finished() const { return finished_.load(); }

  // Starts the fetch (once). An empty user agent gets the default one.
  void Start(const std::string &URL, const std::string &UserAgent, const std::string &Referrer);
  // Asks the fetch to stop; it ends with OnFail.
  void Terminate() { terminated_.store(true); }
  void Join();

  static const char *const kDefaultUserAgent;

private:
  void Execute();

  const std::string name_;
  std::string url_, agent_, referrer_;
  std::thread thread_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> terminated_{false};

  // Used only on the fetch's thread.
  friend struct TInetTransfer;
};
