// A stand-in for a file manager: a small window that starts a drag of
// text/uri-list for the paths on its command line when pressed, then ends.
#include <QApplication>
#include <QDrag>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

#include <cstdio>

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
    auto *mime = new QMimeData;
    QList<QUrl> urls;
    for (const QString &p : paths_)
      urls << QUrl::fromLocalFile(p);
    mime->setUrls(urls);
    drag->setMimeData(mime);
    const Qt::DropAction a = drag->exec(Qt::CopyAction);
    std::printf("drop %s\n", a == Qt::CopyAction ? "accepted" : "refused");
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
