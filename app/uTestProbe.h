// A hook for tests that drive the program from outside with real input
// events: with SKARVO_GUI_PROBE=DIR set, the program watches DIR/cmd and
// answers in DIR/out. Commands (one per file):
//   dump [WINDOW]     every visible window (or only the one with that object
//                     name) and named widget with its screen rectangle and
//                     text, the visible rows of item views, and the text of
//                     message boxes
//   shot NAME FILE    a PNG of the widget or window with that object name
//   screen FILE       a PNG of the whole screen
//   refresh           selects the current drive again
//   close             closes every window (the program then ends)
// DIR/events gets one line per window shown or hidden: "MS show|hide NAME",
// MS counted from the program's start.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QTimer;
class TfrmMain;

class TTestProbe : public QObject {
  Q_OBJECT
public:
  // Returns nullptr when the variable is not set.
  static TTestProbe *Install(QObject *parent);
  void SetMainWindow(TfrmMain *w) { main_ = w; }
  // Text of the dump command.
  static QString Dump(const QString &only = QString());

protected:
  bool eventFilter(QObject *watched, QEvent *event) override;

private:
  TTestProbe(QObject *parent, const QString &dir);
  void Poll();

  QElapsedTimer clock_;
  QString dir_;
  QTimer *timer_;
  TfrmMain *main_ = nullptr;
};
