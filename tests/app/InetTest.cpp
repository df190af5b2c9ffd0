// The HTTP fetch and the named fetcher against a small HTTP server of the
// test's own on 127.0.0.1, which answers each path in its own way.
#include "ovSync.h"
#include "uTCustomStringList.h"
#include "uTInet.h"
#include "uTLiveUpdate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class TTestServer {
public:
  TTestServer() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    EXPECT_EQ(::listen(listen_, 16), 0);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~TTestServer() {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    cv_.notify_all();
    acceptor_.join();
    for (auto &t : workers_)
      t.join();
    ::close(listen_);
  }
  std::string Url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string HostPath(const std::string &path) const {
    return "127.0.0.1:" + std::to_string(port_) + path;
  }
  void OpenGate() {
    {
      std::lock_guard<std::mutex> g(m_);
      gate_ = true;
    }
    cv_.notify_all();
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> g(m_);
    return requests_;
  }
  int Hits(const std::string &path) {
    std::lock_guard<std::mutex> g(m_);
    int n = 0;
    for (const auto &r : requests_)
      n += r.rfind("GET " + path + " ", 0) == 0;
    return n;
  }

private:
  void Accept() {
    for (;;) {
      pollfd p{listen_, POLLIN, 0};
      ::poll(&p, 1, 20);
      {
        std::lock_guard<std::mutex> g(m_);
        if (stop_)
          return;
      }
      if (!(p.revents & POLLIN))
        continue;
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        std::lock_guard<std::mutex> g(m_);
        workers_.emplace_back([this, fd] { Serve(fd); });
      }
    }
  }
  void Send(int fd, const std::string &s) { (void)!::send(fd, s.data(), s.size(), MSG_NOSIGNAL); }
  void Serve(int fd) {
    std::string req;
    char buf[1024];
    while (req.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0)
        break;
      req.append(buf, static_cast<size_t>(n));
    }
    {
      std::lock_guard<std::mutex> g(m_);
      requests_.push_back(req);
    }
    const std::string path = req.substr(4, req.find(' ', 4) - 4);
    const std::string ok = "HTTP/1.0 200 OK\r\n";
    if (path == "/f1")
      Send(fd, ok + "Content-Length: 1\r\n\r\nf");
    else if (path == "/spaced")
      Send(fd, ok + "Content-Length: 5\r\n\r\n f \r\n");
    else if (path == "/nolen")
      Send(fd, ok + "\r\nf");
    else if (path == "/emptynolen")
      Send(fd, ok + "\r\n");
    else if (path == "/short")
      Send(fd, ok + "Content-Length: 10\r\n\r\n12345");
    else if (path == "/long")
      Send(fd, ok + "Content-Length: 1\r\n\r\nff");
    else if (path == "/badlen")
      Send(fd, ok + "Content-Length: many\r\n\r\nf");
    else if (path == "/404")
      Send(fd, "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
    else if (path == "/big")
      Send(fd, ok + "Content-Length: 100000\r\n\r\n" + std::string(100000, 'b'));
    else if (path == "/gate" || path == "/hang") {
      if (path == "/gate")
        Send(fd, ok + "Content-Length: 5\r\n\r\n");
      std::unique_lock<std::mutex> l(m_);
      cv_.wait(l, [&] { return stop_ || (gate_ && path == "/gate"); });
      l.unlock();
      if (path == "/gate")
        Send(fd, "hello");
    }
    ::close(fd);
  }

  int listen_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::mutex m_;  // guards everything below
  std::condition_variable cv_;
  bool stop_ = false;
  bool gate_ = false;
  std::vector<std::thread> workers_;
  std::vector<std::string> requests_;
};

// Runs the calls the fetches hand to this (main) thread until pred holds.
template <class P> bool Pump(P pred, int timeoutMs = 30000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    ov::CheckSynchronize(10);
  }
  return true;
}

struct TResults {
  std::map<std::string, std::string> Texts;
  std::vector<std::string> Failed;
  size_t Events = 0;
  void Attach(TLiveUpdate &lu) {
    lu.OnText = [this](const std::string &n, const std::string &t) {
      Texts[n] = t;
      ++Events;
    };
    lu.OnFailed = [this](const std::string &n) {
      Failed.push_back(n);
      ++Events;
    };
  }
  size_t Count() const { return Events; }
};

class InetTest : public ::testing::Test {
protected:
  void SetUp() override { ov::SetMainThread(); }
  TTestServer server_;
};

TEST_F(InetTest, SuccessIsExactlyTheContentLength) {
  TLiveUpdate lu;
  TResults r;
  r.Attach(lu);
  for (const char *p : {"f1", "nolen", "emptynolen", "short", "long", "badlen", "404", "big", "spaced"})
    ASSERT_TRUE(lu.Fetch(p, server_.Url(std::string("/") + p)));
  ASSERT_TRUE(Pump([&] { return r.Count() == 9; }));
  EXPECT_EQ(r.Texts["f1"], "f");
  EXPECT_EQ(r.Texts["emptynolen"], "");        // no header and no body: 0 = 0
  EXPECT_EQ(r.Texts["404"], "not found");      // the status is not examined
  EXPECT_EQ(r.Texts["big"], std::string(100000, 'b'));
  EXPECT_EQ(r.Texts["spaced"], " f \r\n");
  std::sort(r.Failed.begin(), r.Failed.end());
  EXPECT_EQ(r.Failed, (std::vector<std::string>{"badlen", "long", "nolen", "short"}));
  EXPECT_EQ(lu.PendingCount(), 0);
}

TEST_F(InetTest, RequestIsAnUncachedHttp10Get) {
  TInet inet("n");
  inet.Start(server_.HostPath("/f1"), "", "http://referrer.example/");  // no scheme: HTTP
  inet.Join();
  const auto req = server_.Requests();
  ASSERT_EQ(req.size(), 1u);
  EXPECT_EQ(req[0].rfind("GET /f1 HTTP/1.0\r\n", 0), 0u) << req[0];
  EXPECT_NE(req[0].find("Cache-Control: no-cache"), std::string::npos);
  EXPECT_NE(req[0].find("Pragma: no-cache"), std::string::npos);
  EXPECT_NE(req[0].find(std::string("User-Agent: ") + TInet::kDefaultUserAgent), std::string::npos);
  EXPECT_NE(req[0].find("Referer: http://referrer.example/"), std::string::npos);
}

TEST_F(InetTest, EventsOnTheFetchThread) {
  std::mutex m;
  std::vector<std::string> events;
  int status = 0;
  int64_t length = -1;
  TInet inet("page");
  inet.OnHeader = [&](const std::string &n, int s, int64_t l) {
    std::lock_guard<std::mutex> g(m);
    status = s;
    length = l;
    events.push_back("header " + n);
  };
  inet.OnData = [&](const std::string &n, const std::string &c) {
    std::lock_guard<std::mutex> g(m);
    events.push_back("data " + c);
  };
  inet.OnDone = [&](const std::string &n) {
    std::lock_guard<std::mutex> g(m);
    events.push_back("done " + n);
  };
  inet.OnFail = [&](const std::string &n) {
    std::lock_guard<std::mutex> g(m);
    events.push_back("fail " + n);
  };
  inet.Start(server_.Url("/404"), "agent", "");
  inet.Join();
  EXPECT_TRUE(inet.Finished());
  EXPECT_FALSE(inet.Busy());
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(status, 404);
  EXPECT_EQ(length, 9);
  EXPECT_EQ(events, (std::vector<std::string>{"header page", "data not found", "done page"}));
}

TEST_F(InetTest, ServerThatNeverAnswersFails) {
  TLiveUpdate lu;
  lu.TimeoutMs = 300;
  TResults r;
  r.Attach(lu);
  ASSERT_TRUE(lu.Fetch("hang", server_.Url("/hang")));
  ASSERT_TRUE(Pump([&] { return r.Count() == 1; }));
  EXPECT_EQ(r.Failed, std::vector<std::string>{"hang"});
  // Nothing listens here at all.
  ASSERT_TRUE(lu.Fetch("closed", "http://127.0.0.1:9/x"));
  ASSERT_TRUE(Pump([&] { return r.Count() == 2; }));
  EXPECT_EQ(r.Failed.back(), "closed");
}

TEST_F(InetTest, SecondFetchOfAPendingNameStartsNothing) {
  TLiveUpdate lu;
  TResults r;
  r.Attach(lu);
  ASSERT_TRUE(lu.Fetch("firstrun", server_.Url("/gate")));
  ASSERT_TRUE(Pump([&] { return server_.Hits("/gate") == 1; }));
  EXPECT_FALSE(lu.Fetch("firstrun", server_.Url("/f1")));
  EXPECT_TRUE(lu.Pending("firstrun"));
  server_.OpenGate();
  ASSERT_TRUE(Pump([&] { return r.Count() == 1; }));
  EXPECT_EQ(r.Texts["firstrun"], "hello");
  EXPECT_EQ(server_.Hits("/f1"), 0);
  // Once done, the name can be fetched again.
  EXPECT_TRUE(lu.Fetch("firstrun", server_.Url("/f1")));
  ASSERT_TRUE(Pump([&] { return r.Count() == 2; }));
  EXPECT_EQ(r.Texts["firstrun"], "f");
}

TEST_F(InetTest, FreeingTheFetcherMidFetchIsSafe) {
  int calls = 0;
  {
    TLiveUpdate lu;
    lu.OnText = [&](const std::string &, const std::string &) { ++calls; };
    lu.OnFailed = [&](const std::string &) { ++calls; };
    ASSERT_TRUE(lu.Fetch("hang", server_.Url("/hang")));
    ASSERT_TRUE(lu.Fetch("gate", server_.Url("/gate")));
    ASSERT_TRUE(Pump([&] { return server_.Hits("/hang") + server_.Hits("/gate") == 2; }));
    // This one's data waits for the main thread, which is not taking it.
    ASSERT_TRUE(lu.Fetch("big", server_.Url("/big")));
    for (int i = 0; i < 3000 && server_.Hits("/big") == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(server_.Hits("/big"), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Destroyed here while every fetch is still running.
  }
  EXPECT_EQ(calls, 0);
  ov::CheckSynchronize(0);
  EXPECT_EQ(calls, 0);
}

} // namespace

TEST(CustomStringList, OwnsItsObjectsWhenAsked) {
  static int freed = 0;
  struct TCounted : TObject {
    ~TCounted() override { ++freed; }
  };
  {
    TCustomStringList owning;
    EXPECT_TRUE(owning.OwnsObjects);
    EXPECT_EQ(owning.SortType, TCustomStringList::stAscending);
    owning.AddObject("b", new TCounted);
    owning.AddObject("a", new TCounted);
    owning.Add("c");
    EXPECT_EQ(owning.Strings(0), "b");  // not sorted
    EXPECT_EQ(owning.IndexOf("a"), 1);
    owning.Delete(0);
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(owning.IndexOf("a"), 0);
    TCounted keep;
    TCustomStringList borrowing;
    borrowing.OwnsObjects = false;
    borrowing.AddObject("k", &keep);
    borrowing.Clear();
    EXPECT_EQ(freed, 1);
  }
  EXPECT_EQ(freed, 3);  // the list's last object, then `keep` leaving scope
}
