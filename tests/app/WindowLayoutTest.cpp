// The window's layout and keyboard offscreen: no text clipped at the default
// size or on a small screen, placement inside the screen and remembered
// between runs, tab order, mnemonics, Delete, the volume label's placeholder,
// the help page without a browser, and the single-instance lock.
#include "WindowFixture.h"

#include "CDSizer.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QStyleOptionComboBox>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every visible label, button and check box whose text needs more room than
// it has; the drive list may shorten its text only when its tooltip holds it.
QStringList ClippedTexts(QWidget *top) {
  QStringList clipped;
  for (QWidget *w : top->findChildren<QWidget *>()) {
    if (!w->isVisible())
      continue;
    const QString name = w->objectName().isEmpty() ? QString(w->metaObject()->className()) : w->objectName();
    if (auto *l = qobject_cast<QLabel *>(w); l && !l->text().isEmpty() && !l->wordWrap() && l->pixmap().isNull()) {
      const int need = l->fontMetrics().horizontalAdvance(l->text()) + 2 * l->margin() + std::max(0, l->indent());
      if (need > l->contentsRect().width())
        clipped << QString("%1 \"%2\" needs %3, has %4").arg(name, l->text()).arg(need).arg(l->contentsRect().width());
    } else if (auto *b = qobject_cast<QAbstractButton *>(w); b && !b->text().isEmpty()) {
      if (b->sizeHint().width() > b->width())
        clipped << QString("%1 \"%2\" needs %3, has %4").arg(name, b->text()).arg(b->sizeHint().width()).arg(b->width());
    } else if (auto *c = qobject_cast<QComboBox *>(w)) {
      QStyleOptionComboBox opt;
      opt.initFrom(c);
      const int room = c->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, c).width();
      const int need = c->fontMetrics().horizontalAdvance(c->currentText()) + 2;
      if (need > room && c->toolTip() != c->currentText())
        clipped << QString("%1 \"%2\" needs %3, has %4, no tooltip").arg(name, c->currentText()).arg(need).arg(c->width());
    } else if (auto *t = qobject_cast<QTreeWidget *>(w)) {
      const QFontMetrics fm(t->font());
      for (int r = 0; r < t->topLevelItemCount(); ++r)
        for (int col = 1; col < t->columnCount(); ++col) {
          const int need = fm.horizontalAdvance(t->topLevelItem(r)->text(col)) + 8;
          if (need > t->columnWidth(col))
            clipped << QString("%1 row %2 column %3 needs %4, has %5").arg(name).arg(r).arg(col).arg(need).arg(t->columnWidth(col));
        }
    }
  }
  return clipped;
}

void Shot(QWidget *w, const QString &name) {
  const QString dir = qEnvironmentVariable("SKARVO_GUI_OUT");
  if (!dir.isEmpty())
    w->grab().save(dir + "/" + name + ".png");
}

} // namespace

class WindowLayoutTest : public QObject {
  Q_OBJECT
  TWindowFixture f_;

  // Texts as long as the window shows them in use.
  static void FillLongTexts(TfrmMain *w) {
    w->lblTotalCDSize->setText("Used Disc Space: 2,202.65 MB, New: 2,202.65 MB");
    w->lblMBWritten->setText("MB Written: 2,202.65/2,202.65");
    w->lblBurnState->setText("Building ISO...");
    auto *row = new QTreeWidgetItem;
    row->setText(1, "/home/user/a very long folder name/and a file name in it.bin");
    row->setText(2, "2,306,867,104,512");
    w->lvwFiles->addTopLevelItem(row);
    w->lvwFiles->FitSizeColumn();
  }

private slots:
  void initTestCase() { f_.Setup(); }
  void init() { f_.Reset(); }

  void noTextClippedAtTheDefaultSizeAndOnASmallScreen() {
    auto w = f_.Window("cd", "cdrw-writer", "CD-R");
    FillLongTexts(w.get());
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->resize(TfrmMain::kDefaultWidth, TfrmMain::kDefaultHeight);
    QTRY_COMPARE(w->size(), QSize(642, 636));
    QTest::qWait(0);
    Shot(w.get(), "layout-642x636");
    QStringList clipped = ClippedTexts(w.get());
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join("\n")));
    // The offscreen screen is 800x600: the window opens inside it.
    const QRect avail = w->screen()->availableGeometry();
    QCOMPARE(avail.size(), QSize(800, 600));
    w.reset();
    auto small = std::make_unique<TfrmMain>(f_.Options);
    QTRY_VERIFY_WITH_TIMEOUT(!small->DriveJobRunning(), 60000);
    FillLongTexts(small.get());
    small->show();
    QVERIFY(QTest::qWaitForWindowExposed(small.get()));
    QTRY_VERIFY(avail.contains(small->frameGeometry()));
    Shot(small.get(), "layout-800x600");
    clipped = ClippedTexts(small.get());
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join("\n")));
    for (QWidget *c : {static_cast<QWidget *>(small->cmdAbort), static_cast<QWidget *>(small->prgProgress)})
      QVERIFY(avail.contains(QRect(c->mapToGlobal(QPoint(0, 0)), c->size())));
  }
};

QTEST_MAIN(WindowLayoutTest)
#include "WindowLayoutTest.moc"
