#include "CDSizer.h"

#include <QPainter>

#include <cmath>

namespace {
// Round half to even, as the bar's arithmetic is defined.
int RoundEven(double v) { return static_cast<int>(std::nearbyint(v)); }
} // namespace

TCDSize::TCDSize(QWidget *parent) : QWidget(parent) {
  resize(90, 20);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TCDSize::SetBarColour(const QColor &c) {
  barColour_ = c;
  update();
}

void TCDSize::SetMemBarColour(const QColor &c) {
  memBarColour_ = c;
  update();
}

void TCDSize::SetMemInitialColour(const QColor &c) {
  memInitialColour_ = c;
  update();
}

int TCDSize::Clamp(int v) const { return v < 0 ? 0 : (v > maxMemory_ ? maxMemory_ : v); }

void TCDSize::SetMemUsed(int v) {
  memUsed_ = Clamp(v);
  update();
}

void TCDSize::SetMemInitial(int v) {
  memInitial_ = Clamp(v);
  update();
}

TCDSize::TGeometry TCDSize::Geometry() const {
  TGeometry g;
  const int W = width(), H = height(), half = H / 2;
  g.HorizontalBar = W >= H;
  g.Background = RectLTRB(0, 0, W, H);
  // A full scale of 0 would divide by zero: it draws the background only.
  if (maxMemory_ <= 0)
    return g;
  const double maxMem = maxMemory_;
  // Up to 60 ticks on every disc, BD's 25 and 50 GB too.
  g.TickStep = maxMemory_ > 40000  ? 1000
               : maxMemory_ > 20000 ? 500
               : maxMemory_ > 5000  ? 100
               : maxMemory_ > 2000  ? 50
               : maxMemory_ > 1000  ? 20
                                    : 10;
  const int tickCount = RoundEven(maxMem / g.TickStep);
  g.PixelsPerTick = W / (maxMem / g.TickStep);
  g.Capacity = RectLTRB(0, 0, RoundEven(maxCDSize_ / maxMem * W) + 1, half);

  const auto bar = [&](int mem, const QColor &fits, QRect &rect, QColor &colour) {
    colour = mem > maxCDSize_ ? overBurnColour_ : fits;
    if (g.HorizontalBar)
      rect = RectLTRB(2, progressGap_, RoundEven(mem / maxMem * W) + 1, half - progressGap_);
    else
      rect = RectLTRB(progressGap_, progressGap_, W, RoundEven(mem / maxMem * H) - progressGap_);
  };
  bar(memUsed_, memBarColour_, g.Used, g.UsedColour);
  bar(memInitial_, memInitialColour_, g.Initial, g.InitialColour);

  for (int i = 1; i <= tickCount; ++i) {
    TTick t;
    t.X = RoundEven(i * g.PixelsPerTick);
    if (i % 10 == 0) {
      t.Bottom = H;
      const int mb = i * g.TickStep;
      const int offset = mb > 9999 ? 32 : mb >= 1000 ? 26 : 20;
      t.Label = QString::number(mb) + QStringLiteral(" MB");
      t.LabelAt = QPoint(t.X - offset, half + 2);
    } else {
      t.Bottom = i % 5 == 0 ? half + 3 : half;
    }
    g.Ticks.push_back(t);
  }
  return g;
}

void TCDSize::paintEvent(QPaintEvent *) {
  ++paintCount_;
  const TGeometry g = Geometry();
  QPainter p(this);
  p.setPen(Qt::NoPen);
  p.fillRect(g.Background, Qt::white);
  if (maxMemory_ > 0) {
    p.fillRect(g.Capacity, barColour_);
    if (g.Used.isValid())
      p.fillRect(g.Used, g.UsedColour);
    if (g.Initial.isValid())
      p.fillRect(g.Initial, g.InitialColour);
    p.setPen(QPen(tickColour_, 1));
    QFont f = font();
    f.setPixelSize(9);
    p.setFont(f);
    const QFontMetrics fm(f);
    for (const TTick &t : g.Ticks) {
      p.drawLine(t.X, 0, t.X, t.Bottom - 1);  // the end point is not drawn
      if (!t.Label.isEmpty())
        p.drawText(t.LabelAt + QPoint(0, fm.ascent()), t.Label);
    }
  }
  p.end();
  if (memUsed_ > maxCDSize_ && OnOverBurn)
    OnOverBurn();
}
