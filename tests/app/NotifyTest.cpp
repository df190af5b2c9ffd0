// The desktop notification at the end of an operation, against a private
// session bus (dbus-daemon) with a notification service of the test's own:
// sent when the window is in the background, and nothing at all where no
// service runs.
#include "WindowFixture.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>

class TFakeNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
  QStringList Summaries, Bodies;
public slots:
  uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
              const QStringList &, const QVariantMap &, int) {
    Summaries << summary;
    Bodies << body;
    return uint(Summaries.size());
  }
};

class NotifyTest : public QObject {
  Q_OBJECT
  TWindowFixture fx_;
  QProcess bus_;

private slots:
  void initTestCase() {
    bus_.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!bus_.waitForStarted(10000))
      QSKIP("dbus-daemon is not installed");
    QTRY_VERIFY_WITH_TIMEOUT(bus_.canReadLine(), 10000);
    const QByteArray address = bus_.readLine().trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    fx_.Setup();
    TWindowFixture::MakeTree(fx_.Scratch("src"));
  }
  void cleanupTestCase() {
    RemoveSyncDispatcher();
    bus_.kill();
    bus_.waitForFinished();
  }

  void endOfABuildInTheBackgroundIsNotified() {
    auto w = fx_.Window("note", "dvd-writer", "DVD+RW");
    QVERIFY(w->AddSourceRow(fx_.Scratch("src")));
    QVERIFY(!w->isActiveWindow());
    // No service yet: the build ends as usual and nothing is sent.
    fx_.Path = fx_.Scratch("one.iso");
    w->cmdBuildISOClick();
    TWindowFixture::WaitIdle(w.get());
    QTRY_COMPARE_WITH_TIMEOUT(fx_.Messages.size(), 1, 30000);

    QDBusConnection service = QDBusConnection::connectToBus(QString::fromUtf8(qgetenv("DBUS_SESSION_BUS_ADDRESS")),
                                                            "fake-notifications");
    QVERIFY(service.isConnected());
    TFakeNotifications fake;
    QVERIFY(service.registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
    QVERIFY(service.registerService("org.freedesktop.Notifications"));
    fx_.Messages.clear();
    fx_.Path = fx_.Scratch("two.iso");
    w->cmdBuildISOClick();
    TWindowFixture::WaitIdle(w.get());
    QTRY_COMPARE_WITH_TIMEOUT(fake.Summaries.size(), 1, 30000);
    QCOMPARE(fake.Summaries[0], QString("Burn process completed."));
    QCOMPARE(fx_.Messages.size(), 1);
    QDBusConnection::disconnectFromBus("fake-notifications");
  }
};

QTEST_MAIN(NotifyTest)
#include "NotifyTest.moc"
