#include "uFrmSplash.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>

QPixmap SkarvoIcon(int size) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r(1, 1, size - 2, size - 2);
  QRadialGradient g(r.center(), r.width() / 2);
  g.setColorAt(0.0, QColor(0xE0, 0xE8, 0xFF));
  g.setColorAt(0.6, QColor(0xA0, 0xC0, 0xF0));
  g.setColorAt(1.0, QColor(0x60, 0x80, 0xD0));
  p.setBrush(g);
  p.setPen(QPen(QColor(0x30, 0x40, 0x80), size / 32.0 + 0.5));
  p.drawEllipse(r);
  p.setBrush(Qt::white);
  const double hole = size / 6.0;
  p.drawEllipse(r.center(), hole, hole);
  return pm;
}

TfrmSplash::TfrmSplash() : QWidget(nullptr, Qt::FramelessWindowHint | Qt::SplashScreen) {
  setObjectName(QStringLiteral("frmSplash"));
  setWindowTitle(QStringLiteral("Skarvo CD & DVD Burner"));
  setFixedSize(359, 195);
  pnlContainer = new QFrame(this);
  pnlContainer->setObjectName(QStringLiteral("pnlContainer"));
  pnlContainer->setFrameShape(QFrame::Box);
  pnlContainer->setAutoFillBackground(true);
  QPalette pal = pnlContainer->palette();
  pal.setColor(QPalette::Window, Qt::white);
  pnlContainer->setPalette(pal);
  auto *outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(pnlContainer);

  imgLogo = new QLabel(pnlContainer);
  imgLogo->setObjectName(QStringLiteral("imgLogo"));
  imgLogo->setPixmap(SkarvoIcon(32));
  imgLogo->setFixedSize(32, 32);
  auto *v = new QVBoxLayout(pnlContainer);
  v->addWidget(imgLogo, 0, Qt::AlignHCenter);
  for (const QString &t : {QStringLiteral("Skarvo"), QStringLiteral("CD & DVD"), QStringLiteral(" Burner")}) {
    auto *l = new QLabel(t, pnlContainer);
    QFont f = l->font();
    f.setPointSize(16);
    f.setBold(true);
    l->setFont(f);
    l->setAlignment(Qt::AlignCenter);
    v->addWidget(l);
  }
  lblInfo = new QLabel(pnlContainer);
  lblInfo->setObjectName(QStringLiteral("lblInfo"));
  lblInfo->setAlignment(Qt::AlignCenter);
  v->addWidget(lblInfo);
  for (QWidget *w : findChildren<QWidget *>())
    w->installEventFilter(this);

  tmrClose = new QTimer(this);
  tmrClose->setObjectName(QStringLiteral("tmrClose"));
  tmrClose->setInterval(2000);
  tmrClose->setSingleShot(true);
  tmrClose->setTimerType(Qt::PreciseTimer);  // a coarse timer may fire 5% early
  connect(tmrClose, &QTimer::timeout, this, &TfrmSplash::tmrCloseTimer);
  if (QScreen *screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

void TfrmSplash::tmrCloseTimer() {
  tmrClose->stop();
  if (OnTimer)
    OnTimer();
  close();
}

bool TfrmSplash::eventFilter(QObject *watched, QEvent *event) {
  if (event->type() == QEvent::MouseButtonPress)
    ExitClick();
  return QWidget::eventFilter(watched, event);
}
