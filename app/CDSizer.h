// The disc usage bar: the disc's capacity, the space used after the next
// write, the space already used, and a megabyte scale with labelled ticks.
#pragma once

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>

#include <functional>
#include <vector>

class TCDSize : public QWidget {
  Q_OBJECT
public:
  explicit TCDSize(QWidget *parent = nullptr);

  // What one paint draws, in client coordinates; rectangles are
  // (left, top, right, bottom) with right and bottom excluded.
  struct TTick {
    int X = 0;
    int Bottom = 0;     // the line runs from (X, 0) to (X, Bottom)
    QString Label;      // empty for unlabelled ticks
    QPoint LabelAt;
  };
  struct TGeometry {
    bool HorizontalBar = true;
    int TickStep = 10;
    double PixelsPerTick = 0;
    QRect Background, Capacity, Used, Initial;  // QRect::adjusted ranges, see RectLTRB
    QColor UsedColour, InitialColour;
    std::vector<TTick> Ticks;
  };
  // Left, top, right (excluded), bottom (excluded) as one QRect.
  static QRect RectLTRB(int l, int t, int r, int b) { return QRect(QPoint(l, t), QPoint(r - 1, b - 1)); }
  TGeometry Geometry() const;

  std::function<void()> OnOverBurn;

  QColor BarColour() const { return barColour_; }
  void SetBarColour(const QColor &c);
  QColor MemBarColour() const { return memBarColour_; }
  void SetMemBarColour(const QColor &c);
  QColor MemInitialColour() const { return memInitialColour_; }
  void SetMemInitialColour(const QColor &c);
  QColor OverBurnColour() const { return overBurnColour_; }
  void SetOverBurnColour(const QColor &c) { overBurnColour_ = c; }
  QColor TickColour() const { return tickColour_; }
  void SetTickColour(const QColor &c) { tickColour_ = c; }
  int ProgressGap() const { return progressGap_; }
  void SetProgressGap(int v) { progressGap_ = v; }

  int MaxCDSize() const { return maxCDSize_; }
  void SetMaxCDSize(int v) { maxCDSize_ = v; }
  int MaxMemory() const { return maxMemory_; }
  void SetMaxMemory(int v) { maxMemory_ = v; }
  int MemUsed() const { return memUsed_; }
  void SetMemUsed(int v);
  int MemInitial() const { return memInitial_; }
  void SetMemInitial(int v);

  // Paints counted since construction (for the repaint rules).
  int PaintCount() const { return paintCount_; }

protected:
  void paintEvent(QPaintEvent *) override;

private:
  int Clamp(int v) const;

  QColor barColour_{0xC0, 0xC0, 0xC0};
  QColor memBarColour_{Qt::black};
  QColor memInitialColour_{Qt::black};
  QColor overBurnColour_{Qt::red};
  QColor tickColour_{Qt::black};
  int progressGap_ = 0;
  int maxCDSize_ = 650;
  int maxMemory_ = 750;
  int memUsed_ = 0;
  int memInitial_ = 0;
  int paintCount_ = 0;
};
