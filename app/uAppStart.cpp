#include "uAppStart.h"

#include "ovSync.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

std::string InstanceLockPath() {
  QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (dir.isEmpty() || !QDir(dir).exists())
    dir = QDir::tempPath();
  return (dir + QStringLiteral("/Skarvo CD & DVD Burner.lock")).toStdString();
}

TInstance TakeInstanceLock() {
  // The descriptor stays open (and locked) until the process ends.
  const int fd = ::open(InstanceLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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

void InstallSyncDispatcher() {
  ov::SetMainThread();
  // Only a wake-up travels through Qt: the call itself waits in the
  // library's queue, which the drain function empties on this thread.
  ov::SetSyncDispatcher([](std::function<void()> drain) {
    if (QCoreApplication *app = QCoreApplication::instance())
      QMetaObject::invokeMethod(app, std::move(drain), Qt::QueuedConnection);
  });
}

void RemoveSyncDispatcher() { ov::SetSyncDispatcher(nullptr); }
