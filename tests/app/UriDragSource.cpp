// A stand-in for a file manager: a small window that starts a drag of
// text/uri-list for the paths on its command line when pressed. It ends
// once the target has fetched the data (XDND hands the data over after the
// drop, while the source still runs), or after 30 s without a fetch.
#include <QApplication>
#include <QDrag>
#include <QElapsedTimer>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

#include <cstdio>

// Notes when the target asks for the list of files.
class TUriData : public QMimeData {
public:
  mutable bool Served = false;

protected:
  QVariant retrieveData(const QString &format, QMetaType type) const override {
    if (format == QLatin1String("text/uri-list"))
      Served = true;
    return QMimeData::retrieveData(format, type);
  }
};

class TSource : public QLabel {
public:
  explicit TSource(QStringList paths) : QLabel(QStringLiteral("drag me")), paths_(std::move(paths)) {
    setWindowTitle(QStringLiteral("uri-drag-source"));
    setAlignment(Qt::AlignCenter);
    setGeometry(0, 0, 150, 100);
  }

protected:
  void mousePressEvent(QMouseEvent *) override {
    auto *drag = new QDrag(this);
    auto *mime = new TUriData;
    QList<QUrl> urls;
    for (const QString &p : paths_)
      urls << QUrl::fromLocalFile(p);
    mime->setUrls(urls);
    drag->setMimeData(mime);
    const Qt::DropAction a = drag->exec(Qt::CopyAction);
    // The drop is over for us, not for the target: it asks for the data now.
    QElapsedTimer clock;
    clock.start();
    while (a == Qt::CopyAction && !mime->Served && clock.elapsed() < 30000)
      QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    // Answer the request that was just read before ending.
    for (int i = 0; i < 10; ++i)
      QApplication::processEvents(QEventLoop::AllEvents, 50);
    std::printf("drop %s\n", a != Qt::CopyAction ? "refused" : mime->Served ? "accepted, data fetched"
                                                                              : "accepted, data never fetched");
    std::fflush(stdout);
    QApplication::quit();
  }

private:
  QStringList paths_;
};

int main(int argc, char **argv) {
  QApplication app(argc, argv);
  TSource s(QApplication::arguments().mid(1));
  s.show();
  s.move(0, 0);
  return QApplication::exec();
}
