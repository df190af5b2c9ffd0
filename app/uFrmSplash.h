// The splash window: shown for two seconds at start, or hidden at a click.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <functional>

class TfrmSplash : public QWidget {
  Q_OBJECT
public:
  TfrmSplash();

  QFrame *pnlContainer;
  QLabel *imgLogo, *lblInfo;
  QTimer *tmrClose;
  // Run when the timer fires: the program shows its main window there.
  std::function<void()> OnTimer;

  void ExitClick() { hide(); }
  void tmrCloseTimer();

protected:
  bool eventFilter(QObject *watched, QEvent *event) override;
};

// The program's icon, drawn (a disc).
QPixmap SkarvoIcon(int size);
