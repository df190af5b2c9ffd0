#include "uTInet.h"

#include <curl/curl.h>

#include <cctype>
#include <mutex>

const char *const TInet::kDefaultUserAgent = "Mozilla/4.0 (compatible; MSIE 5.0; Windows 98; DigExt)";

// The state of one transfer, seen by the libcurl callbacks.
struct TInetTransfer {
  TInet &Inet;
  int Status = 0;
  int64_t Length = 0;
  int64_t Total = 0;
  bool HeaderDone = false;

  static bool StartsWithNoCase(const std::string &s, const char *prefix) {
    for (size_t i = 0; prefix[i]; ++i)
      if (i >= s.size() || std::tolower(static_cast<unsigned char>(s[i])) != prefix[i])
        return false;
    return true;
  }
  // A missing header or one that is not a number reads as 0.
  static int64_t Number(const std::string &s) {
    int64_t v = 0;
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
      ++i;
    const size_t first = i;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
      if (v > (INT64_MAX - 9) / 10)
        return 0;
      v = v * 10 + (s[i] - '0');
    }
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
      ++i;
    return i == s.size() && i > first ? v : 0;
  }

  void HeaderLine(const std::string &line) {
    if (StartsWithNoCase(line, "http/")) {
      // A new status line (after a 1xx answer) starts a new header block.
      const size_t sp = line.find(' ');
      Status = sp == std::string::npos ? 0 : static_cast<int>(Number(line.substr(sp + 1, 3) + ""));
      Length = 0;
      HeaderDone = false;
    } else if (StartsWithNoCase(line, "content-length:")) {
      Length = Number(line.substr(15));
    } else if ((line == "\r\n" || line == "\n") && Status >= 200) {
      HeaderDone = true;
      if (Inet.OnHeader)
        Inet.OnHeader(Inet.Name(), Status, Length);
    }
  }

  static size_t OnHeaderCb(char *p, size_t size, size_t n, void *self) {
    static_cast<TInetTransfer *>(self)->HeaderLine(std::string(p, size * n));
    return size * n;
  }
  static size_t OnBodyCb(char *p, size_t size, size_t n, void *self) {
    auto *t = static_cast<TInetTransfer *>(self);
    if (t->Inet.terminated_.load())
      return 0;  // stops the transfer
    t->Total += static_cast<int64_t>(size * n);
    if (t->Inet.OnData)
      t->Inet.OnData(t->Inet.Name(), std::string(p, size * n));
    return size * n;
  }
  static int OnProgressCb(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<TInetTransfer *>(self)->Inet.terminated_.load() ? 1 : 0;
  }
};

namespace {
std::once_flag g_curlInit;
}

TInet::TInet(std::string name) : name_(std::move(name)) {
  std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

TInet::~TInet() {
  Terminate();
  Join();
}

void TInet::Join() {
  if (thread_.joinable())
    thread_.join();
}

void TInet::Start(const std::string &URL, const std::string &UserAgent, const std::string &Referrer) {
  if (thread_.joinable())
    return;
  url_ = URL;
  agent_ = UserAgent.empty() ? kDefaultUserAgent : UserAgent;
  referrer_ = Referrer;
  busy_.store(true);
  thread_ = std::thread([this] { Execute(); });
}

void TInet::Execute() {
  busy_.store(true);
  TInetTransfer t{*this};
  bool ok = false;
  CURL *curl = curl_easy_init();
  if (!curl) {
    if (OnError)
      OnError(name_, CURLE_FAILED_INIT);
  } else {
    // The address is taken as HTTP when it names no scheme.
    std::string url = url_;
    if (url.find("://") == std::string::npos)
      url = "http://" + url;
    curl_slist *headers = nullptr;
    headers = curl_slist_append(headers, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent_.c_str());
    if (!referrer_.empty())
      curl_easy_setopt(curl, CURLOPT_REFERER, referrer_.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    // The body is read to the end of the connection and its length compared
    // with the header here, so a longer body is caught as well as a shorter.
    curl_easy_setopt(curl, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(TimeoutMs));
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &TInetTransfer::OnHeaderCb);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &TInetTransfer::OnBodyCb);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &TInetTransfer::OnProgressCb);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    const CURLcode rc = curl_easy_perform(curl);
    if (rc != CURLE_OK && !terminated_.load() && OnError)
      OnError(name_, static_cast<int>(rc));
    ok = rc == CURLE_OK && t.HeaderDone && t.Total == t.Length && !terminated_.load();
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
  }
  if (ok) {
    if (OnDone)
      OnDone(name_);
  } else if (OnFail) {
    OnFail(name_);
  }
  busy_.store(false);
  finished_.store(true);
}
