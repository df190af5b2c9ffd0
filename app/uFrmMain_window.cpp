// The main window's fit to the screen and to the keyboard: its place and
// size, the tab order, the Escape key, the drop-down lists that shorten their
// text, the help page, and the name offered for a new image.
#include "uFrmMain.h"

#include <QAbstractItemView>
#include <QDesktopServices>
#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include <algorithm>

namespace {
const char *kHomePage = "https://skarvo.org/";
} // namespace

TElidedCombo::TElidedCombo(QWidget *parent) : QComboBox(parent) {
  const auto widen = [this] {
    const int margin = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) + 24;
    view()->setMinimumWidth(view()->sizeHintForColumn(0) + margin);
  };
  connect(model(), &QAbstractItemModel::rowsInserted, this, widen);
  connect(model(), &QAbstractItemModel::modelReset, this, widen);
}

void TElidedCombo::paintEvent(QPaintEvent *) {
  QStylePainter p(this);
  QStyleOptionComboBox opt;
  initStyleOption(&opt);
  p.drawComplexControl(QStyle::CC_ComboBox, opt);
  const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField, this);
  const QString shown = fontMetrics().elidedText(opt.currentText, Qt::ElideRight, field.width() - 2);
  if (shown != opt.currentText && toolTip() != opt.currentText)
    setToolTip(opt.currentText);
  opt.currentText = shown;
  p.drawControl(QStyle::CE_ComboBoxLabel, opt);
}

QString TfrmMain::ResolveImagePath(const QString &name) {
  if (name.isEmpty())
    return name;
  QString n = name;
  if (n == QLatin1String("~") || n.startsWith(QLatin1String("~/")))
    n = QDir::homePath() + n.mid(1);
  return QDir::cleanPath(QDir(QDir::homePath()).absoluteFilePath(n));
}

QString TfrmMain::DefaultImagePath() const {
  QString label = VolumeLabelToUse();
  label.replace(QLatin1Char('/'), QLatin1Char('_'));
  if (label.isEmpty() || label == QLatin1String(".") || label == QLatin1String(".."))
    label = QStringLiteral("image");
  return QDir(QDir::homePath()).absoluteFilePath(label + QStringLiteral(".iso"));
}

// Tab goes through each panel as it reads: the file buttons and the list,
// the settings column by column, then the drive row, the operations and Abort.
void TfrmMain::SetTabOrder() {
  const QList<QWidget *> order{cmdAddFiles,
                               cmdRemoveFiles,
                               cmdClearFiles,
                               chkPathInfo,
                               lvwFiles,
                               txtVolumeLabel,
                               chkJoliet,
                               chkCloseDisc,
                               chkImportSession,
                               txtSession,
                               chkVerify,
                               chkRockRidge,
                               cmdRockRidge,
                               chkUnderrunProtection,
                               chkTestWrite,
                               chkEject,
                               chkOPC,
                               chkQuickSaveISO,
                               chkBootable,
                               chkArchiveOnly,
                               sldCacheSize,
                               cmdCloseTrack,
                               cmbDrives,
                               cmbSpeed,
                               cmdDiscInfo,
                               cmdCapabilities,
                               cmdEject,
                               cmdLoad,
                               cmdBurn,
                               cmdBuildISO,
                               cmdBurnISO,
                               cmdQuickErase,
                               cmdCompleteErase,
                               cmdAbort};
  for (int i = 1; i < order.size(); ++i)
    setTabOrder(order[i - 1], order[i]);
}

void TfrmMain::RestorePlacement() {
  setMinimumSize(kMinWidth, kMinHeight);
  resize(kDefaultWidth, kDefaultHeight);
  TWindowPlacement stored;
  if (stored.Load(kOptionsBasePath)) {
    resize(stored.Width, stored.Height);
    move(stored.X, stored.Y);
    FitToScreen();
    if (stored.Maximized)
      setWindowState(windowState() | Qt::WindowMaximized);
    return;
  }
  if (QScreen *screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  FitToScreen();
}

// Keeps the whole window, frame included, inside the available area of the
// screen it is on (or of the primary screen when it is on none).
void TfrmMain::FitToScreen() {
  if (isMaximized() || isFullScreen())
    return;
  QScreen *screen = QGuiApplication::screenAt(frameGeometry().center());
  if (!screen)
    screen = QGuiApplication::primaryScreen();
  if (!screen)
    return;
  const QRect avail = screen->availableGeometry();
  // The frame is known once the window is shown; before, none is assumed.
  const QRect frame = frameGeometry(), client = geometry();
  const QMargins m = isVisible() ? QMargins(client.left() - frame.left(), client.top() - frame.top(),
                                            frame.right() - client.right(), frame.bottom() - client.bottom())
                                 : QMargins();
  const QSize room(avail.width() - m.left() - m.right(), avail.height() - m.top() - m.bottom());
  setMinimumSize(std::min(kMinWidth, room.width()), std::min(kMinHeight, room.height()));
  const QSize size = this->size().boundedTo(room);
  if (size != this->size())
    resize(size);
  const QSize outer = size.grownBy(m);
  const int x = std::clamp(pos().x(), avail.left(), avail.left() + avail.width() - outer.width());
  const int y = std::clamp(pos().y(), avail.top(), avail.top() + avail.height() - outer.height());
  if (QPoint(x, y) != pos())
    move(x, y);
}

void TfrmMain::SavePlacement() const {
  TWindowPlacement p;
  const QRect normal = isMaximized() ? normalGeometry() : QRect(pos(), size());
  p.X = normal.x();
  p.Y = normal.y();
  p.Width = normal.width();
  p.Height = normal.height();
  p.Maximized = isMaximized();
  p.Save(kOptionsBasePath);
}

void TfrmMain::ShowHomePageAddress(const QUrl &url) {
  ShowMessage(this, QStringLiteral("No web browser could be opened. The help is at:\n") + url.toString(),
              QStringLiteral("Help"), QMessageBox::Information);
}

// xdg-open is what the toolkit itself would start, but detached, so that its
// failure (exit 3 or 4: no tool or no handler worked) would go unseen. Run
// here, its end is watched; it may also run as long as the browser it starts.
void TfrmMain::OpenHomePage() {
  const QUrl url{QString::fromLatin1(kHomePage)};
  if (OpenUrlHook) {
    if (!OpenUrlHook(url))
      ShowHomePageAddress(url);
    return;
  }
  const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (opener.isEmpty()) {
    if (!QDesktopServices::openUrl(url))
      ShowHomePageAddress(url);
    return;
  }
  auto *process = new QProcess(this);
  process->setObjectName(QStringLiteral("prcHomePage"));
  process->setProcessChannelMode(QProcess::ForwardedChannels);
  process->setStandardInputFile(QProcess::nullDevice());
  connect(process, &QProcess::finished, this, [this, process, url](int code, QProcess::ExitStatus status) {
    if (status != QProcess::NormalExit || code != 0)
      ShowHomePageAddress(url);
    process->deleteLater();
  });
  connect(process, &QProcess::errorOccurred, this, [this, process, url](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart)
      return;  // the end of a started one comes through finished
    ShowHomePageAddress(url);
    process->deleteLater();
  });
  process->start(opener, {url.toString(QUrl::FullyEncoded)});
}

void TfrmMain::EscapePressed() {
  if (!cmdCloseTrack->isEnabled() || Busy())
    return;
  if (openSession_ &&
      !AskYesNo(this, QStringLiteral("The disc has an open session.\nDo you want to close it now ?"),
                QStringLiteral("Confirm Action"), true))
    return;
  cmdCloseTrack->click();
}

