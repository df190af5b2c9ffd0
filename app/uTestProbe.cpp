#include "uTestProbe.h"

#include "CDSizer.h"
#include "uFrmMain.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QSaveFile>
#include <QTextStream>
#include <QTimer>
#include <QWidget>

TTestProbe *TTestProbe::Install(QObject *parent) {
  const QString dir = qEnvironmentVariable("SKARVO_GUI_PROBE");
  return dir.isEmpty() ? nullptr : new TTestProbe(parent, dir);
}

TTestProbe::TTestProbe(QObject *parent, const QString &dir) : QObject(parent), dir_(dir) {
  clock_.start();
  QDir().mkpath(dir_);
  QFile::remove(dir_ + QStringLiteral("/events"));
  qApp->installEventFilter(this);
  timer_ = new QTimer(this);
  connect(timer_, &QTimer::timeout, this, &TTestProbe::Poll);
  timer_->start(50);
}

namespace {

QString WidgetText(const QWidget *w) {
  if (auto *b = qobject_cast<const QAbstractButton *>(w)) {
    QString t = b->text();
    if (b->isCheckable())
      t += b->isChecked() ? QStringLiteral(" [x]") : QStringLiteral(" [ ]");
    return t;
  }
  if (auto *l = qobject_cast<const QLabel *>(w))
    return l->text();
  if (auto *e = qobject_cast<const QLineEdit *>(w))
    return e->text();
  if (auto *b = qobject_cast<const TCDSize *>(w))
    return QStringLiteral("MaxCDSize=%1 MaxMemory=%2 MemUsed=%3 MemInitial=%4")
        .arg(b->MaxCDSize())
        .arg(b->MaxMemory())
        .arg(b->MemUsed())
        .arg(b->MemInitial());
  if (auto *p = qobject_cast<const QProgressBar *>(w))
    return QStringLiteral("%1/%2").arg(p->value()).arg(p->maximum());
  if (auto *c = qobject_cast<const QComboBox *>(w)) {
    QStringList items;
    for (int i = 0; i < c->count(); ++i)
      items << c->itemText(i);
    return c->currentText() + QStringLiteral(" {") + items.join(QStringLiteral(" | ")) + QLatin1Char('}');
  }
  return {};
}

void Line(QTextStream &out, const QString &kind, const QString &name, const QRect &r, const QString &text) {
  out << kind << '\t' << name << '\t' << r.x() << ',' << r.y() << ',' << r.width() << ',' << r.height()
      << '\t' << QString(text).replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' ')) << '\n';
}

// Rows of an item view that can be seen, with their screen rectangles.
void DumpRows(QTextStream &out, const QAbstractItemView *v) {
  const QAbstractItemModel *m = v->model();
  if (!m)
    return;
  QList<QModelIndex> stack{v->rootIndex()};
  int budget = 2000;
  while (!stack.isEmpty() && budget-- > 0) {
    const QModelIndex parent = stack.takeFirst();
    for (int r = 0; r < m->rowCount(parent); ++r) {
      const QModelIndex first = m->index(r, 0, parent);
      QString text;
      for (int c = 0; c < m->columnCount(parent); ++c) {
        const QModelIndex i = m->index(r, c, parent);
        if (!v->visualRect(i).isEmpty())
          text += m->data(i).toString() + QLatin1Char('\t');
      }
      const QModelIndex nameIndex = m->columnCount(parent) > 1 && !v->visualRect(m->index(r, 1, parent)).isEmpty() &&
                                            v->objectName() == QLatin1String("lvwFiles")
                                        ? m->index(r, 1, parent)
                                        : first;
      const QRect vr = v->visualRect(nameIndex);
      if (vr.isEmpty() || !v->viewport()->rect().intersects(vr))
        continue;
      Line(out, QStringLiteral("row"), v->objectName(),
           QRect(v->viewport()->mapToGlobal(vr.topLeft()), vr.size()), text);
      stack << first;
    }
  }
}

} // namespace

bool TTestProbe::eventFilter(QObject *watched, QEvent *event) {
  const bool show = event->type() == QEvent::Show, hide = event->type() == QEvent::Hide;
  if ((show || hide) && watched->isWidgetType() && static_cast<QWidget *>(watched)->isWindow() &&
      !watched->objectName().isEmpty()) {
    QFile f(dir_ + QStringLiteral("/events"));
    if (f.open(QIODevice::Append)) {
      f.write(QStringLiteral("%1 %2 %3\n")
                  .arg(clock_.elapsed())
                  .arg(QLatin1String(show ? "show" : "hide"), watched->objectName())
                  .toUtf8());
    }
  }
  return QObject::eventFilter(watched, event);
}

QString TTestProbe::Dump(const QString &only) {
  QString s;
  QTextStream out(&s);
  for (QWidget *top : QApplication::topLevelWidgets()) {
    if (!top->isVisible() || (!only.isEmpty() && top->objectName() != only))
      continue;
    Line(out, QStringLiteral("window"), top->objectName(), top->frameGeometry(), top->windowTitle());
    if (auto *box = qobject_cast<QMessageBox *>(top))
      // The message as given: a box whose shown text is wrapped or cut holds it in its details.
      Line(out, QStringLiteral("message"), top->objectName(), top->frameGeometry(),
           box->detailedText().isEmpty() ? box->text() : box->detailedText());
    for (QWidget *w : top->findChildren<QWidget *>()) {
      if (w->objectName().isEmpty() || !w->isVisible() || w->objectName().startsWith(QLatin1String("qt_")))
        continue;
      Line(out, QLatin1String(w->isEnabled() ? "widget" : "disabled"), w->objectName(),
           QRect(w->mapToGlobal(QPoint(0, 0)), w->size()), WidgetText(w));
      if (auto *v = qobject_cast<QAbstractItemView *>(w))
        DumpRows(out, v);
    }
  }
  return s;
}

void TTestProbe::Poll() {
  QFile cmd(dir_ + QStringLiteral("/cmd"));
  if (!cmd.exists() || !cmd.open(QIODevice::ReadOnly))
    return;
  const QStringList words = QString::fromUtf8(cmd.readAll()).trimmed().split(QLatin1Char(' '));
  cmd.close();
  QString answer = QStringLiteral("ok\n");
  const QString verb = words.value(0);
  if (verb == QLatin1String("dump")) {
    answer = Dump(words.value(1));
  } else if (verb == QLatin1String("shot") && words.size() == 3) {
    QWidget *found = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets()) {
      if (top->objectName() == words[1])
        found = top;
      else if (!found)
        found = top->findChild<QWidget *>(words[1]);
    }
    if (!found || !found->grab().save(words[2], "PNG"))
      answer = QStringLiteral("error\n");
  } else if (verb == QLatin1String("screen") && words.size() == 2) {
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen || !screen->grabWindow(0).save(words[1], "PNG"))
      answer = QStringLiteral("error\n");
  } else if (verb == QLatin1String("close")) {
    QMetaObject::invokeMethod(qApp, &QApplication::closeAllWindows, Qt::QueuedConnection);
  } else if (verb == QLatin1String("refresh") && main_) {
    main_->RefreshDrive();
  } else {
    answer = QStringLiteral("error\n");
  }
  QSaveFile out(dir_ + QStringLiteral("/out"));
  if (out.open(QIODevice::WriteOnly)) {
    out.write(answer.toUtf8());
    out.commit();
  }
  cmd.remove();
}
