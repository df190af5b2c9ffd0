// Message box text that fits on the screen: long names wrap and long lists
// are cut, with the exact text in the box's details.
#pragma once

#include <QString>

class QMessageBox;

// The text with a zero-width space after each path separator, and every
// kMessageRun characters, of any run longer than kMessageRun characters
// without a space: a label wraps such a run (a long file name or path)
// instead of clipping it. Shorter runs are left as they are.
constexpr int kMessageRun = 40;
QString WrappableText(const QString &text);

// The text with at most maxLines lines and maxChars characters: the middle is left out, with
// a line telling how much; the first lines and the last kMessageTailLines (a
// question, as a rule) stay.
constexpr int kMessageLines = 25;
constexpr int kMessageTailLines = 3;
constexpr int kMessageChars = 2500;
QString ShortenedMessage(const QString &text, int maxLines = kMessageLines, int maxChars = kMessageChars);

// Sets the box's text from `text`, wrappable and shortened until it takes at
// most half the screen's height.
// When the shown text differs from `text`, the details hold `text` itself,
// whole and unchanged for copying.
void SetMessageText(QMessageBox &box, const QString &text);
