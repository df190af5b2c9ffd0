// The main window's file list: rows, drops, and the space display.
#include "uFrmMain.h"

#include "CDSizer.h"
#include "ovDateTime.h"
#include "uFrmAddFiles.h"

#include <QDragEnterEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>

#include <algorithm>
#include <limits>

namespace {
// Column of the row's size; its user data holds the size as a 64-bit number.
constexpr int kSizeColumn = 2;
constexpr int kNameColumn = 1;
} // namespace

TFileListView::TFileListView(TfrmMain *owner) : QTreeWidget(owner), owner_(owner) {
  setColumnCount(3);
  setHeaderLabels({QStringLiteral("R"), QStringLiteral("Name"), QStringLiteral("Size ")});
  setRootIsDecorated(false);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
  QHeaderView *h = header();
  h->setStretchLastSection(false);
  h->setSectionResizeMode(0, QHeaderView::Fixed);
  h->setSectionResizeMode(kNameColumn, QHeaderView::Stretch);
  h->setSectionResizeMode(kSizeColumn, QHeaderView::Interactive);
  h->setMinimumSectionSize(23);
  setColumnWidth(0, 23);
  setColumnWidth(kSizeColumn, 87);
  headerItem()->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
  // 70 to 100 pixels, or more when a size needs it (sizes of many GB).
  connect(h, &QHeaderView::sectionResized, this, [this](int i, int, int w) {
    const int widest = std::max(100, sizeNeed_);
    if (i == kSizeColumn && (w < 70 || w > widest))
      setColumnWidth(kSizeColumn, w < 70 ? 70 : widest);
  });
}

void TFileListView::FitSizeColumn() {
  const QFontMetrics fm(font());
  int text = 0;
  for (int i = 0; i < topLevelItemCount(); ++i)
    text = std::max(text, fm.horizontalAdvance(topLevelItem(i)->text(kSizeColumn)));
  // The item's margins on both sides, as the style draws them.
  const int margin = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1) + 4;
  sizeNeed_ = text > 0 ? text + margin : 0;
  if (columnWidth(kSizeColumn) < sizeNeed_)
    setColumnWidth(kSizeColumn, sizeNeed_);
}

// Drags from the add-files dialog's lists, and file drops from other
// programs (text/uri-list).
bool TFileListView::AcceptsSource(const QDropEvent *e) const {
  const QObject *src = e->source();
  if (TfrmAddFiles *dlg = owner_->AddFilesDialog(); src && dlg)
    return src == dlg->dirFolders || src == dlg->flbFiles;
  return !src && e->mimeData()->hasUrls();
}

void TFileListView::keyPressEvent(QKeyEvent *e) {
  if (e->key() == Qt::Key_Delete && e->modifiers() == Qt::NoModifier) {
    if (owner_->cmdRemoveFiles->isEnabled())
      owner_->cmdRemoveFilesClick();
    e->accept();
    return;
  }
  QTreeWidget::keyPressEvent(e);
}

void TFileListView::dragEnterEvent(QDragEnterEvent *e) {
  if (AcceptsSource(e))
    e->acceptProposedAction();
  else
    e->ignore();
}

void TFileListView::dragMoveEvent(QDragMoveEvent *e) {
  if (AcceptsSource(e))
    e->acceptProposedAction();
  else
    e->ignore();
}

void TFileListView::dropEvent(QDropEvent *e) {
  if (!AcceptsSource(e)) {
    e->ignore();
    return;
  }
  QStringList paths;
  for (const QUrl &u : e->mimeData()->urls())
    paths << (u.isLocalFile() ? u.toLocalFile() : u.toString());
  // The list comes from the other program after the drop; one that has
  // ended by then sends nothing, which is not a drop of no files.
  if (paths.isEmpty()) {
    e->ignore();
    PostWarning(QStringLiteral("Nothing was received from the program the entries were dragged from."));
    return;
  }
  e->acceptProposedAction();
  const QStringList left = owner_->AddDroppedPaths(paths);
  if (!left.isEmpty())
    PostWarning(QStringLiteral("These entries cannot be read and were not added:\n") + left.join(QLatin1Char('\n')));
}

// Shown after the drop has ended, so that the other program is not kept
// waiting for its end while the box is open.
void TFileListView::PostWarning(const QString &text) {
  QMetaObject::invokeMethod(
      owner_, [o = owner_, text] { TfrmMain::ShowMessage(o, text, QStringLiteral("Warning"), QMessageBox::Warning); },
      Qt::QueuedConnection);
}

QString TfrmMain::FormatSize(int64_t n) {
  if (n < 1024)
    return QString::number(n) + QStringLiteral(" bytes");
  if (n < 1024000)
    return QString::asprintf("%.2f KB", n / 1024.0);
  return QString::asprintf("%.2f MB", n / 1024000.0);
}

bool TfrmMain::AddSourceRow(const QString &path) {
  const QFileInfo fi(path);
  // Only readable files and listable folders; devices, sockets and FIFOs
  // would hang or fail a burn.
  if (!fi.isAbsolute() || !fi.exists() || !fi.isReadable() || (!fi.isFile() && !fi.isDir()) ||
      (fi.isDir() && !fi.isExecutable()))
    return false;
  QString source = fi.absoluteFilePath();
  const bool folder = fi.isDir();
  if (folder && !source.endsWith(QLatin1Char('/')))
    source += QLatin1Char('/');
  const int64_t size = orvBurn->SourceSize(source.toStdString());
  auto *row = new QTreeWidgetItem;
  row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
  row->setCheckState(0, folder ? Qt::Checked : Qt::Unchecked);
  row->setText(kNameColumn, source);
  row->setText(kSizeColumn, QString::fromStdString(ov::FormatFloat("#,##", static_cast<double>(size))));
  row->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
  row->setData(kSizeColumn, Qt::UserRole, QVariant::fromValue<qint64>(size));
  lvwFiles->addTopLevelItem(row);
  return true;
}

QStringList TfrmMain::AddDroppedPaths(const QStringList &paths) {
  QStringList left;
  for (const QString &p : paths)
    if (!AddSourceRow(p))
      left << p;
  UpdateDiscSpace();
  return left;
}

int64_t TfrmMain::NewBytes() const {
  int64_t total = 0;
  for (int i = 0; i < lvwFiles->topLevelItemCount(); ++i)
    total += lvwFiles->topLevelItem(i)->data(kSizeColumn, Qt::UserRole).toLongLong();
  return total;
}

void TfrmMain::UpdateDiscSpace() {
  const int64_t used = usedBytes_;
  const int64_t added = NewBytes();
  lblTotalCDSize->setText(QStringLiteral("Used Disc Space: ") + FormatSize(used + added) +
                          QStringLiteral(", New: ") + FormatSize(added));
  const auto mb = [](int64_t bytes) {
    const int64_t v = bytes / 1048576;
    return static_cast<int>(v > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : v);
  };
  cdsSize->SetMemUsed(mb(used + added));
  // An empty label field shows the label the next burn or image will get.
  txtVolumeLabel->setPlaceholderText(FirstEntryFolderName().left(txtVolumeLabel->maxLength()));
  lvwFiles->FitSizeColumn();
  cdsSize->SetMemInitial(mb(used));
}

void TfrmMain::cmdRemoveFilesClick() {
  qDeleteAll(lvwFiles->selectedItems());
  UpdateDiscSpace();
}

QString TfrmMain::FirstEntryFolderName() const {
  if (lvwFiles->topLevelItemCount() == 0)
    return {};
  // A folder row ends with "/"; the command line names a volume the same way.
  return QString::fromStdString(DefaultVolumeLabel(lvwFiles->topLevelItem(0)->text(kNameColumn).toStdString()));
}

QString TfrmMain::VolumeLabelToUse() const {
  const QString typed = txtVolumeLabel->text().trimmed();
  return typed.isEmpty() ? FirstEntryFolderName().left(txtVolumeLabel->maxLength()) : typed;
}

void TfrmMain::cmdClearFilesClick() {
  lvwFiles->clear();
  orvBurn->ResetCompilation(orvBurn->MaxFiles, orvBurn->MaxDirs);
  UpdateDiscSpace();
}
