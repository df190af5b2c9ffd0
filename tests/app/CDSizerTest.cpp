// The usage bar: what one paint draws for the interesting cases, checked in
// its geometry and in the pixels of a real paint.
#include "CDSizer.h"

#include <QImage>
#include <QtTest>

class CDSizerTest : public QObject {
  Q_OBJECT

  static QImage Render(TCDSize &b) {
    QImage img(b.size(), QImage::Format_RGB32);
    img.fill(Qt::magenta);
    b.render(&img);
    return img;
  }
  static void Save(TCDSize &b, const char *name) {
    const QString dir = qEnvironmentVariable("SKARVO_GUI_OUT");
    if (!dir.isEmpty())
      Render(b).save(dir + "/cdsizer-" + name + ".png");
  }

private slots:
  void constructorValues() {
    TCDSize b;
    QCOMPARE(b.size(), QSize(90, 20));
    QCOMPARE(b.MaxCDSize(), 650);
    QCOMPARE(b.MaxMemory(), 750);
    QCOMPARE(b.BarColour(), QColor(0xC0, 0xC0, 0xC0));
    QCOMPARE(b.OverBurnColour(), QColor(Qt::red));
    QCOMPARE(b.MemBarColour(), QColor(Qt::black));
    QCOMPARE(b.ProgressGap(), 0);
  }

  void scaleOf750MegabytesHasLabelsEvery100() {
    TCDSize b;
    b.resize(750, 20);
    const auto g = b.Geometry();
    QCOMPARE(g.TickStep, 10);
    QCOMPARE(int(g.Ticks.size()), 75);
    QCOMPARE(g.PixelsPerTick, 10.0);
    QStringList labels;
    for (const auto &t : g.Ticks)
      if (!t.Label.isEmpty())
        labels << t.Label;
    QCOMPARE(labels, QStringList({"100 MB", "200 MB", "300 MB", "400 MB", "500 MB", "600 MB", "700 MB"}));
    QCOMPARE(g.Ticks[9].X, 100);
    QCOMPARE(g.Ticks[9].Bottom, 20);               // long tick at each label
    QCOMPARE(g.Ticks[9].LabelAt, QPoint(80, 12));  // 20 pixels to the left, below the middle
    QCOMPARE(g.Ticks[4].Bottom, 13);               // every fifth: half + 3
    QCOMPARE(g.Ticks[3].Bottom, 10);               // others: half
    QCOMPARE(g.Capacity, TCDSize::RectLTRB(0, 0, 651, 10));
    const QImage img = Render(b);
    QCOMPARE(img.pixelColor(100, 15), QColor(Qt::black));  // long tick reaches the bottom
    QCOMPARE(img.pixelColor(40, 15), QColor(Qt::white));   // short tick does not
    QCOMPARE(img.pixelColor(40, 5), QColor(Qt::black));
    QCOMPARE(img.pixelColor(645, 5), QColor(0xC0, 0xC0, 0xC0));  // capacity bar
    QCOMPARE(img.pixelColor(655, 5), QColor(Qt::white));         // beyond the disc
    Save(b, "750");
  }

  void largeDiscScaleUsesWiderSteps() {
    TCDSize b;
    b.resize(540, 20);
    b.SetMaxMemory(5400);
    auto g = b.Geometry();
    QCOMPARE(g.TickStep, 100);
    QCOMPARE(int(g.Ticks.size()), 54);
    QCOMPARE(g.Ticks[9].Label, QString("1000 MB"));
    QCOMPARE(g.Ticks[9].LabelAt.x(), g.Ticks[9].X - 26);
    QCOMPARE(g.Ticks[49].Label, QString("5000 MB"));
    b.SetMaxMemory(12000);
    g = b.Geometry();
    QCOMPARE(g.Ticks[99].Label, QString("10000 MB"));
    QCOMPARE(g.Ticks[99].LabelAt.x(), g.Ticks[99].X - 32);
    // BD: 25 GB (23,866 MB and a fifth more) and 50 GB keep about 57 ticks,
    // labelled every 5,000 and 10,000 MB.
    b.SetMaxMemory(28639);
    g = b.Geometry();
    QCOMPARE(g.TickStep, 500);
    QCOMPARE(int(g.Ticks.size()), 57);
    QCOMPARE(g.Ticks[9].Label, QString("5000 MB"));
    QCOMPARE(g.Ticks[39].Label, QString("20000 MB"));
    b.SetMaxMemory(57278);
    g = b.Geometry();
    QCOMPARE(g.TickStep, 1000);
    QCOMPARE(int(g.Ticks.size()), 57);
    QCOMPARE(g.Ticks[49].Label, QString("50000 MB"));
    b.SetMaxMemory(1500);
    QCOMPARE(b.Geometry().TickStep, 20);
    b.SetMaxMemory(2500);
    QCOMPARE(b.Geometry().TickStep, 50);
  }

  void emptyFullAndOverCapacity() {
    TCDSize b;
    b.resize(750, 20);
    b.SetMemBarColour(Qt::green);
    int overBurns = 0;
    b.OnOverBurn = [&] { ++overBurns; };
    auto g = b.Geometry();  // empty: the bar has no width
    QVERIFY(g.Used.width() <= 0);
    QCOMPARE(Render(b).pixelColor(5, 5), QColor(0xC0, 0xC0, 0xC0));
    QCOMPARE(overBurns, 0);

    b.SetMemUsed(650);  // exactly full
    g = b.Geometry();
    QCOMPARE(g.Used, TCDSize::RectLTRB(2, 0, 651, 10));
    QCOMPARE(g.UsedColour, QColor(Qt::green));
    QCOMPARE(Render(b).pixelColor(645, 5), QColor(Qt::green));
    QCOMPARE(overBurns, 0);

    b.SetMemUsed(700);  // over capacity
    g = b.Geometry();
    QCOMPARE(g.UsedColour, QColor(Qt::red));
    QCOMPARE(Render(b).pixelColor(695, 5), QColor(Qt::red));
    QCOMPARE(overBurns, 1);
    Render(b);
    QCOMPARE(overBurns, 2);  // raised at every paint
    Save(b, "over");
  }

  void newDataOnTopOfUsed() {
    TCDSize b;
    b.resize(750, 20);
    b.SetMemBarColour(QColor(0, 0x80, 0));
    b.SetMemInitialColour(Qt::blue);
    b.SetMemInitial(200);
    b.SetMemUsed(500);
    const auto g = b.Geometry();
    QCOMPARE(g.Initial, TCDSize::RectLTRB(2, 0, 201, 10));
    QCOMPARE(g.Used, TCDSize::RectLTRB(2, 0, 501, 10));
    const QImage img = Render(b);
    QCOMPARE(img.pixelColor(105, 5), QColor(Qt::blue));       // used drawn over new
    QCOMPARE(img.pixelColor(305, 5), QColor(0, 0x80, 0));     // the new data
    QCOMPARE(img.pixelColor(555, 5), QColor(0xC0, 0xC0, 0xC0));
    QCOMPARE(img.pixelColor(355, 15), QColor(Qt::white));     // lower half is the scale
    Save(b, "used-and-new");
  }

  void gapAndVerticalBar() {
    TCDSize b;
    b.resize(20, 100);
    b.SetProgressGap(2);
    b.SetMemUsed(375);
    const auto g = b.Geometry();
    QVERIFY(!g.HorizontalBar);
    QCOMPARE(g.Used, TCDSize::RectLTRB(2, 2, 20, 48));  // Round(375/750*100) - 2
    b.resize(750, 20);
    QCOMPARE(b.Geometry().Used, TCDSize::RectLTRB(2, 2, 376, 8));
  }

  void roundsHalfToEven() {
    TCDSize b;
    b.resize(10, 4);
    b.SetMaxMemory(4);
    b.SetMaxCDSize(4);
    b.SetMemUsed(1);  // 1/4 of 10 pixels = 2.5
    QCOMPARE(b.Geometry().Used.right() + 1, 3);  // Round(2.5) = 2, plus one
  }

  void valuesAreClamped() {
    TCDSize b;
    b.SetMemUsed(-5);
    QCOMPARE(b.MemUsed(), 0);
    b.SetMemUsed(10000);
    QCOMPARE(b.MemUsed(), 750);
    b.SetMemInitial(-1);
    QCOMPARE(b.MemInitial(), 0);
    b.SetMaxMemory(0);  // nothing to scale: background only, no crash
    QVERIFY(b.Geometry().Ticks.empty());
    Render(b);
  }

  void repaintRules() {
    TCDSize b;
    b.resize(200, 20);
    b.show();
    QVERIFY(QTest::qWaitForWindowExposed(&b));
    QTRY_VERIFY(b.PaintCount() > 0);
    int n = b.PaintCount();
    b.SetMaxCDSize(100);
    b.SetMaxMemory(300);
    b.SetTickColour(Qt::blue);
    QTest::qWait(50);
    QCOMPARE(b.PaintCount(), n);  // stored only, shown at the next paint
    b.SetMemUsed(10);
    QTRY_VERIFY(b.PaintCount() > n);
    n = b.PaintCount();
    b.SetBarColour(Qt::yellow);
    QTRY_VERIFY(b.PaintCount() > n);
  }
};

QTEST_MAIN(CDSizerTest)
#include "CDSizerTest.moc"
