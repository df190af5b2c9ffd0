#include "uMessageText.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>
#include <climits>

namespace {

constexpr char16_t kBreak = 0x200B;  // zero-width space: a line may break here

bool EndsRun(QChar c) { return c.isSpace() || c == QChar(kBreak); }

// Appends one run of characters without a space, with break points when it
// is too long for a line.
void AppendRun(QString &out, QStringView run) {
  if (run.size() <= kMessageRun) {
    out += run;
    return;
  }
  int sinceBreak = 0;
  for (qsizetype i = 0; i < run.size(); ++i) {
    const QChar c = run[i];
    out += c;
    ++sinceBreak;
    // Never between the halves of a surrogate pair.
    if (c.isHighSurrogate() || i + 1 == run.size())
      continue;
    if (c == QLatin1Char('/') || sinceBreak >= kMessageRun) {
      out += QChar(kBreak);
      sinceBreak = 0;
    }
  }
}

} // namespace

QString WrappableText(const QString &text) {
  QString out;
  out.reserve(text.size() + text.size() / kMessageRun + 16);
  qsizetype start = 0;
  for (qsizetype i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !EndsRun(text[i]))
      continue;
    AppendRun(out, QStringView(text).mid(start, i - start));
    if (i < text.size())
      out += text[i];
    start = i + 1;
  }
  return out;
}

QString ShortenedMessage(const QString &text, int maxLines, int maxChars) {
  QStringList lines = text.split(QLatin1Char('\n'));
  QString shown = text;
  if (lines.size() > maxLines) {
    // The head and the last lines (a question, as a rule) stay.
    const qsizetype dropped = lines.size() - (maxLines - 1);
    const QStringList tail = lines.mid(lines.size() - kMessageTailLines);
    lines = lines.mid(0, maxLines - 1 - kMessageTailLines);
    lines << QStringLiteral("... (%1 more lines: Show Details...)").arg(dropped);
    shown = (lines + tail).join(QLatin1Char('\n'));
  }
  if (shown.size() > maxChars) {
    // Never between the halves of a surrogate pair.
    qsizetype head = maxChars / 2, tail = shown.size() - maxChars / 2;
    if (shown[head - 1].isHighSurrogate())
      --head;
    if (shown[tail].isLowSurrogate())
      ++tail;
    shown = shown.left(head) + QStringLiteral("\n... (%1 more characters: Show Details...)\n").arg(tail - head) +
            shown.mid(tail);
  }
  return shown;
}

void SetMessageText(QMessageBox &box, const QString &text) {
  const QScreen *screen = box.screen() ? box.screen() : QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
  // A message box wraps its text at half the screen's width, at most 500
  // pixels, less its icon; the text may take half the screen's height.
  const int width = std::min(area.width() / 2, 500) - 80;
  const QFontMetrics metrics(box.font());
  int lines = kMessageLines, chars = kMessageChars;
  QString shown;
  for (;;) {
    shown = WrappableText(ShortenedMessage(text, lines, chars));
    const int height = metrics.boundingRect(QRect(0, 0, width, INT_MAX), Qt::TextWordWrap, shown).height();
    if (height <= area.height() / 2 || lines <= kMessageTailLines + 3)
      break;
    lines = lines * 2 / 3;
    chars = chars * 2 / 3;
  }
  box.setTextFormat(Qt::PlainText);
  box.setText(shown);
  if (shown != text)
    box.setDetailedText(text);
}
