#include "uAppStart.h"

#include "ovSync.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder this user owns and nobody else may enter; a link is not one.
bool PrivateFolder(const std::string &path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 077) == 0;
}

// The display this copy shows on: ":0" and ":0.0" are the same one.
std::string DisplayName() {
  QString d = qEnvironmentVariable("WAYLAND_DISPLAY");
  if (d.isEmpty()) {
    d = qEnvironmentVariable("DISPLAY");
    const int colon = d.lastIndexOf(QLatin1Char(':'));
    const int dot = d.lastIndexOf(QLatin1Char('.'));
    if (colon >= 0 && dot > colon)
      d.truncate(dot);
  }
  if (d.isEmpty())
    d = QStringLiteral("none");
  d.replace(QLatin1Char('/'), QLatin1Char('_'));
  return d.toStdString();
}

} // namespace

std::string InstanceLockFolder() {
  const std::string runtime = qEnvironmentVariable("XDG_RUNTIME_DIR").toStdString();
  if (!runtime.empty() && PrivateFolder(runtime))
    return runtime;
  const std::string own = QDir::tempPath().toStdString() + "/skarvo-" + std::to_string(::geteuid());
  if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST)
    return {};
  return PrivateFolder(own) ? own : std::string();
}

std::string InstanceLockPath() {
  const std::string folder = InstanceLockFolder();
  if (folder.empty())
    return {};
  return folder + "/Skarvo CD & DVD Burner-" + DisplayName() + ".lock";
}

TInstance TakeInstanceLock() {
  const std::string path = InstanceLockPath();
  if (path.empty())
    return TInstance::First;
  // The descriptor stays open (and locked) until the process ends.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0)
    return TInstance::First;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
    return TInstance::First;
  const bool held = errno == EWOULDBLOCK;
  ::close(fd);
  return held ? TInstance::AlreadyRunning : TInstance::First;
}

void EnsureExtractFolder(const std::string &folder) {
  if (folder.empty())
    return;
  const QString f = QString::fromStdString(folder);
  if (!QDir(f).exists())
    (void)QDir().mkpath(f);
}

namespace {

// Lives on the window's thread. A worker's queued signal reaches it as Qt's
// own event, which carries nothing of the worker's memory: the call itself
// waits in the library's queue, guarded by the library's lock.
class TSyncWaker : public QObject {
  Q_OBJECT
public:
  TSyncWaker() {
    connect(this, &TSyncWaker::Wake, this, &TSyncWaker::Drain, Qt::QueuedConnection);
  }
signals:
  void Wake();

private slots:
  void Drain() { ov::CheckSynchronize(0); }
};

} // namespace

void InstallSyncDispatcher() {
  ov::SetMainThread();
  // Only a wake-up travels through Qt; the library's queue is drained on
  // this thread (the dispatcher's drain function is that same call).
  static TSyncWaker *waker = nullptr;
  if (!waker)
    waker = new TSyncWaker;
  TSyncWaker *w = waker;
  ov::SetSyncDispatcher([w](std::function<void()>) { emit w->Wake(); });
}

void RemoveSyncDispatcher() { ov::SetSyncDispatcher(nullptr); }

#include "uAppStart.moc"
