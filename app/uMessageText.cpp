#include "uMessageText.h"

#include <QMessageBox>

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

void SetMessageText(QMessageBox &box, const QString &text) {
  QString shown = text;
  qsizetype cut = -1;
  int lines = 0;
  for (qsizetype i = 0; i < text.size() && cut < 0; ++i)
    if (i >= kMessageChars || (text[i] == QLatin1Char('\n') && ++lines >= kMessageLines))
      cut = i;
  if (cut >= 0) {
    // Whole lines where the cut falls at a line end.
    shown = text.left(cut) + QStringLiteral("\n... (%1 more characters: Show Details...)").arg(text.size() - cut);
  }
  shown = WrappableText(shown);
  box.setTextFormat(Qt::PlainText);
  box.setText(shown);
  if (shown != text)
    box.setDetailedText(text);
}
