#include "uFrmDiscInfo.h"

#include "ovDateTime.h"
#include "uFrmExtract.h"
#include "uFrmMain.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPointer>
#include <QVBoxLayout>

namespace {

QString MbText(uint32_t blocks) {
  return QString::fromStdString(ov::FormatFloat("#,##0.00 MB", blocks / 1024.0 / 1024.0 * 2048.0));
}

} // namespace

TfrmDiscInfo::TfrmDiscInfo(TfrmMain *owner) : QDialog(owner), owner_(owner) {
  setObjectName(QStringLiteral("frmDiscInfo"));
  setWindowTitle(QStringLiteral("Disc & Sessions Information"));
  setFixedSize(355, 269);
  auto *v = new QVBoxLayout(this);
  auto *g = new QGridLayout;
  const auto label = [this](const char *name, const QString &text) {
    auto *l = new QLabel(text, this);
    l->setObjectName(QLatin1String(name));
    return l;
  };
  lblInfo01 = label("lblInfo01", QStringLiteral("Medium  :"));
  lblInfo02 = label("lblInfo02", QStringLiteral("Disc Size  :"));
  lblInfo03 = label("lblInfo03", QStringLiteral("Used Space  :"));
  lblInfo04 = label("lblInfo04", QStringLiteral("Free Space  :"));
  lblMedium = label("lblMedium", QString());
  lblDiscSize = label("lblDiscSize", QString());
  lblUsedSpace = label("lblUsedSpace", QString());
  lblFreeSpace = label("lblFreeSpace", QString());
  QLabel *captions[] = {lblInfo01, lblInfo02, lblInfo03, lblInfo04};
  QLabel *values[] = {lblMedium, lblDiscSize, lblUsedSpace, lblFreeSpace};
  for (int i = 0; i < 4; ++i) {
    captions[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    g->addWidget(captions[i], i, 0);
    g->addWidget(values[i], i, 1);
  }
  g->setColumnStretch(1, 1);
  v->addLayout(g);

  lvwSessions = new QTreeWidget(this);
  lvwSessions->setObjectName(QStringLiteral("lvwSessions"));
  lvwSessions->setColumnCount(3);
  lvwSessions->setHeaderLabels({QStringLiteral("Number"), QStringLiteral("Start"), QStringLiteral("Size ")});
  lvwSessions->setRootIsDecorated(false);
  lvwSessions->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvwSessions->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvwSessions->header()->setStretchLastSection(false);
  lvwSessions->header()->setSectionResizeMode(1, QHeaderView::Stretch);
  lvwSessions->setColumnWidth(0, 60);
  lvwSessions->setColumnWidth(2, 80);
  lvwSessions->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  v->addWidget(lvwSessions, 1);

  auto *buttons = new QHBoxLayout;
  cmdShowFiles = new QPushButton(QStringLiteral("Show Files"), this);
  cmdShowFiles->setObjectName(QStringLiteral("cmdShowFiles"));
  cmdClose = new QPushButton(QStringLiteral("Close"), this);
  cmdClose->setObjectName(QStringLiteral("cmdClose"));
  lblState = label("lblState", QString());
  buttons->addWidget(cmdShowFiles);
  buttons->addWidget(lblState, 1);
  buttons->addWidget(cmdClose);
  v->addLayout(buttons);
  connect(cmdShowFiles, &QPushButton::clicked, this, &TfrmDiscInfo::cmdShowFilesClick);
  connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
}

TDiscInfoData TfrmDiscInfo::ReadDisc(TOrvBurner &b) {
  TDiscInfoData d;
  b.GetDiscInfo(b.Disc);
  if (!b.TestUnitReady(5000)) {
    b.SetSPTIAutoClose(true);
    return d;
  }
  d.Ready = true;
  const uint8_t type = b.GetDiscType();
  const TDiscSpace space = b.ReadDiscSpace();
  for (const TDiscSpace::TSession &s : space.Sessions)
    d.Sessions.push_back({s.Start, static_cast<int64_t>(s.SizeMB())});
  const QString statusText = space.Status == -1  ? QStringLiteral("Disc status unknown")
                             : space.Status == 2 ? QStringLiteral("Disc closed/finalized")
                                                 : QStringLiteral("Disc is open");
  d.FreeSpace = MbText(space.Free) + QStringLiteral(", ") + statusText;
  d.Medium = QString::fromLatin1(DiscTypeName(type));
  d.DiscSize = MbText(space.Capacity);
  d.UsedSpace = MbText(space.Used) + QStringLiteral(",  Sessions : ") + QString::number(space.Sessions.size());
  b.SetSPTIAutoClose(true);
  return d;
}

void TfrmDiscInfo::ShowReading() {
  readingDisc_ = true;
  lblMedium->setText(QStringLiteral("Reading the disc..."));
  cmdShowFiles->setEnabled(false);
  cmdClose->setText(QStringLiteral("Cancel"));
}

bool TfrmDiscInfo::Apply(const TDiscInfoData &d) {
  readingDisc_ = false;
  cmdClose->setText(QStringLiteral("Close"));
  lvwSessions->clear();
  if (!d.Ready) {
    lblMedium->clear();
    TfrmMain::ShowMessage(this, QStringLiteral("Error getting session information."), QStringLiteral("Warning"),
                          QMessageBox::Warning);
    return false;
  }
  int number = 0;
  for (const TDiscInfoData::TSession &s : d.Sessions) {
    auto *row = new QTreeWidgetItem;
    row->setText(0, QString::number(++number));
    row->setText(1, QString::number(s.Start));
    row->setText(2, QString::number(s.SizeMb) + QStringLiteral(" MB"));
    row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
    lvwSessions->addTopLevelItem(row);
  }
  // With a single session there is nothing to choose.
  if (lvwSessions->topLevelItemCount() == 1)
    lvwSessions->setCurrentItem(lvwSessions->topLevelItem(0));
  lblMedium->setText(d.Medium);
  lblDiscSize->setText(d.DiscSize);
  lblUsedSpace->setText(d.UsedSpace);
  lblFreeSpace->setText(d.FreeSpace);
  cmdShowFiles->setEnabled(true);
  return true;
}

bool TfrmDiscInfo::Fill() { return Apply(ReadDisc(*owner_->orvBurn)); }

int TfrmDiscInfo::ChosenSession() const {
  const QList<QTreeWidgetItem *> chosen = lvwSessions->selectedItems();
  QTreeWidgetItem *row = !chosen.isEmpty() ? chosen.front() : lvwSessions->currentItem();
  if (!row && lvwSessions->topLevelItemCount() == 1)
    row = lvwSessions->topLevelItem(0);
  return row ? lvwSessions->indexOfTopLevelItem(row) + 1 : 0;
}

int TfrmDiscInfo::ChosenSessionOrAsk() {
  const int session = ChosenSession();
  if (session == 0)
    TfrmMain::ShowMessage(this, QStringLiteral("Please select a session from the list."),
                          QStringLiteral("Information"), QMessageBox::Information);
  return session;
}

bool TfrmDiscInfo::ImportSession(TOrvBurner &b, int Number) {
  b.ResetCompilation(65535, 8191);
  return b.ImportSession(static_cast<uint8_t>(Number), b.Root());
}

void TfrmDiscInfo::ShowReadFailure(int Number) {
  TfrmMain::ShowMessage(this, QStringLiteral("Session %1 of the disc could not be read.").arg(Number),
                        QStringLiteral("Warning"), QMessageBox::Warning);
}

bool TfrmDiscInfo::ImportSelectedSession() {
  const int session = ChosenSessionOrAsk();
  if (session == 0)
    return false;
  if (ImportSession(*owner_->orvBurn, session))
    return true;
  ShowReadFailure(session);
  return false;
}

void TfrmDiscInfo::cmdShowFilesClick() {
  if (readingSession_ != 0)
    return;
  const int session = ChosenSessionOrAsk();
  if (session == 0)
    return;
  // The job may end after this dialog has gone: the result then finds no one.
  QPointer<TfrmDiscInfo> alive(this);
  TOrvBurner *burner = owner_->orvBurn.get();
  auto ok = std::make_shared<bool>(false);
  if (!owner_->RunJob([burner, session, ok] { *ok = ImportSession(*burner, session); },
                      [alive, session, ok] {
                        if (alive)
                          alive->SessionRead(session, *ok);
                      }))
    return;
  readingSession_ = session;
  lblState->setText(QStringLiteral("Reading the disc..."));
  cmdShowFiles->setEnabled(false);
  lvwSessions->setEnabled(false);
  cmdClose->setText(QStringLiteral("Cancel"));
}

void TfrmDiscInfo::SessionRead(int Number, bool Ok) {
  if (readingSession_ != Number)
    return;  // cancelled
  readingSession_ = 0;
  lblState->clear();
  cmdShowFiles->setEnabled(true);
  lvwSessions->setEnabled(true);
  cmdClose->setText(QStringLiteral("Close"));
  if (!Ok) {
    ShowReadFailure(Number);
    return;
  }
  auto *dlg = new TfrmExtract(*owner_->orvBurn, owner_->Options(), this);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->FormShow();
  dlg->open();
}

void TfrmDiscInfo::done(int result) {
  if (readingSession_ != 0 || readingDisc_)
    owner_->CancelDriveJob();
  readingSession_ = 0;
  readingDisc_ = false;
  QDialog::done(result);
}

// The dialog opens at once and fills in when the worker has read the disc;
// Cancel closes it, and a result that comes later is dropped.
void TfrmMain::ShowDiscInfo() {
  auto *dlg = new TfrmDiscInfo(this);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  dlg->ShowReading();
  QPointer<TfrmDiscInfo> alive(dlg);
  auto data = std::make_shared<TDiscInfoData>();
  if (!RunJob([this, data] { *data = TfrmDiscInfo::ReadDisc(*orvBurn); },
              [alive, data] {
                // A dialog cancelled meanwhile takes no result: it may still
                // await its deletion, and the user asked for nothing more.
                if (alive && alive->ReadingDisc() && !alive->Apply(*data))
                  alive->close();
              })) {
    delete dlg;
    return;
  }
  dlg->open();
}
