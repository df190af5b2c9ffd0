// Building the main window, copying the settings into it, and its small handlers.
#include "uFrmMain.h"

#include "CDSizer.h"
#include "uFrmAddFiles.h"
#include "uFrmDeviceCapabilities.h"
#include "uMessageText.h"
#include "uTLiveUpdate.h"

#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QToolButton>
#include <QPainter>
#include <QMessageBox>
#include <QShortcut>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const QColor kPanelColour(0xEC, 0xE9, 0xD8);   // 0xD8E9EC, red in the low byte
const QColor kHeaderColour(0xAA, 0xAA, 0xFF);  // 0xFFAAAA
const QColor kNavy(0x00, 0x00, 0x80);
const QColor kBlue(0x00, 0x00, 0xFF);
constexpr int kSettingsHeight = 140, kBurnHeight = 100, kHeaderHeight = 20;

template <class W> W *Named(W *w, const char *name) {
  w->setObjectName(QLatin1String(name));
  return w;
}

void SetHeaderColour(QLabel *l, const QColor &c) {
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, c);
  l->setPalette(p);
}

// The header glyphs: a triangle pointing down (expanded) or right (collapsed).
QPixmap HeaderGlyph(bool expanded) {
  QPixmap pm(12, 12);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(kNavy);
  p.setPen(Qt::NoPen);
  const QPolygon down({QPoint(1, 3), QPoint(11, 3), QPoint(6, 9)});
  const QPolygon right({QPoint(3, 1), QPoint(9, 6), QPoint(3, 11)});
  p.drawPolygon(expanded ? down : right);
  return pm;
}

} // namespace

std::function<void(const QString &, const QString &, int)> TfrmMain::MessageHook;
std::function<QString(QWidget *, const QString &)> TfrmMain::BootImageChooser;
std::function<bool(const QString &, const QString &)> TfrmMain::QuestionHook;
std::function<QString(const QString &, const QString &)> TfrmMain::PathHook;
std::function<bool(const QUrl &)> TfrmMain::OpenUrlHook;

// Message boxes carry object names so that tests driving the program from
// outside find them and their buttons.
void TfrmMain::ShowMessage(QWidget *parent, const QString &text, const QString &caption, int icon) {
  if (MessageHook) {
    MessageHook(text, caption, icon);
    return;
  }
  QMessageBox box(static_cast<QMessageBox::Icon>(icon), caption, QString(), QMessageBox::Ok, parent);
  SetMessageText(box, text);
  box.setObjectName(QStringLiteral("msgBox"));
  box.button(QMessageBox::Ok)->setObjectName(QStringLiteral("cmdOK"));
  box.exec();
}

bool TfrmMain::AskYesNo(QWidget *parent, const QString &text, const QString &caption, bool defaultNo) {
  if (QuestionHook)
    return QuestionHook(text, caption);
  QMessageBox box(QMessageBox::Question, caption, QString(), QMessageBox::Yes | QMessageBox::No, parent);
  SetMessageText(box, text);
  box.setObjectName(QStringLiteral("msgQuestion"));
  box.button(QMessageBox::Yes)->setObjectName(QStringLiteral("cmdYes"));
  box.button(QMessageBox::No)->setObjectName(QStringLiteral("cmdNo"));
  box.setDefaultButton(defaultNo ? QMessageBox::No : QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

QString TfrmMain::AskPath(QWidget *parent, const QString &kind, const QString &preset) {
  if (kind == QLatin1String("SaveISO")) {
    // Never the program's working folder: a full path is offered, and a
    // relative answer is taken from the home folder.
    const auto *window = qobject_cast<const TfrmMain *>(parent);
    const QString offer = window ? window->DefaultImagePath() : ResolveImagePath(preset);
    QString name;
    if (PathHook) {
      name = PathHook(kind, offer);
    } else {
      bool ok = false;
      name = QInputDialog::getText(parent, QStringLiteral("Save ISO"), QStringLiteral("Enter ISO file name to create."),
                                   QLineEdit::Normal, offer, &ok);
      if (!ok)
        name.clear();
    }
    name = name.trimmed();
    return name.isEmpty() ? name : ResolveImagePath(name);
  }
  if (PathHook)
    return PathHook(kind, preset);
  return QFileDialog::getOpenFileName(parent, QString(), preset,
                                      QStringLiteral("ISO Images (*.iso *.ISO);;All Files (*)"));
}

TfrmMain::TfrmMain(TOptions &options, QWidget *parent) : QMainWindow(parent), options_(options) {
  setWindowTitle(QStringLiteral("Skarvo CD & DVD Burner"));
  setObjectName(QStringLiteral("frmMain"));

  orvBurn = std::make_unique<TOrvBurner>();
  orvBurn->UnderrunProtection = true;
  orvBurn->DoDebug = true;
  orvBurn->SetWriteSpeed(0);
  orvBurn->ReadSpeed = 0;
  orvBurn->FinalizeDisc = false;
  orvBurn->TestWrite = false;
  orvBurn->ReplaceFile = false;
  orvBurn->PerformOPC = true;
  orvBurn->SetCacheSize(8392704);
  orvBurn->WritePostGap = true;
  orvBurn->OnDeviceChange = [this](TObject *s) { orvBurnDeviceChange(s); };
  orvBurn->OnWriteDone = [this](TObject *s, const std::string &e) { orvBurnWriteDone(s, e); };
  orvBurn->OnEraseDone = [this](TObject *s, bool e) { orvBurnEraseDone(s, e); };
  // Names too long for a record are shortened by the tree, never dropped.
  orvBurn->OnAddFile = [](TObject *, const std::string &, std::string &, std::string &, TDateTime &, int32_t,
                          int64_t, bool &skip) { skip = false; };
  tmrProgress = new QTimer(this);
  tmrProgress->setObjectName(QStringLiteral("tmrProgress"));
  tmrProgress->setInterval(500);
  connect(tmrProgress, &QTimer::timeout, this, &TfrmMain::tmrProgressTimer);

  pnlContainer = Named(new QWidget(this), "pnlContainer");
  setCentralWidget(pnlContainer);
  auto *v = new QVBoxLayout(pnlContainer);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);
  BuildMenu();
  BuildFilesPanel();
  BuildSettingsPanel();
  BuildBurnPanel();
  v->addWidget(pnlFiles, 1);
  v->addWidget(pnlSettings);
  v->addWidget(pnlBurn);
  lblProgressInfo = Named(new QLabel(this), "lblProgressInfo");
  lblResult = Named(new QLabel(this), "lblResult");
  lblResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
  statusBar()->addWidget(lblResult, 1);
  statusBar()->addPermanentWidget(lblProgressInfo);

  // The Escape key presses "Close Track", the window's cancel button.
  auto *esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(esc, &QShortcut::activated, this, &TfrmMain::EscapePressed);
  auto *refresh = new QShortcut(QKeySequence(QKeySequence::Refresh), this);
  connect(refresh, &QShortcut::activated, this, &TfrmMain::RefreshDrive);

  SetTabOrder();
  RestorePlacement();

  frmAddFiles_ = new TfrmAddFiles(this);
  liveUpdate_ = std::make_unique<TLiveUpdate>();
  liveUpdate_->OnFailed = [](const std::string &) {};
  liveUpdate_->OnText = [this](const std::string &n, const std::string &t) { LiveUpdateText(n, t); };

  pnlFiles->setProperty("Tag", 2);
  pnlSettings->setProperty("Tag", 2);
  pnlBurn->setProperty("Tag", 2);
  CopyOptionsToControls();
  StartDrives();
}

TfrmMain::~TfrmMain() {
  // Calls queued by the workers from here on find the window closing.
  closing_ = true;
  if (shown_)
    SavePlacement();
  JoinDriveJob();
  liveUpdate_.reset();
  // Joins a running write or erase, running their completion calls meanwhile.
  orvBurn.reset();
}

QWidget *TfrmMain::MakePanel(const char *name, const char *headerName, const QString &caption,
                             QLabel *&label, QLabel **glyph) {
  auto *panel = Named(new QWidget(pnlContainer), name);
  panel->setAutoFillBackground(true);
  QPalette p = panel->palette();
  p.setColor(QPalette::Window, kPanelColour);
  panel->setPalette(p);
  auto *v = new QVBoxLayout(panel);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(2);
  auto *header = Named(new QFrame(panel), headerName);
  header->setFixedHeight(kHeaderHeight);
  header->setAutoFillBackground(true);
  QPalette hp = header->palette();
  hp.setColor(QPalette::Window, kHeaderColour);
  header->setPalette(hp);
  auto *h = new QHBoxLayout(header);
  h->setContentsMargins(4, 0, 4, 0);
  if (glyph) {
    *glyph = new QLabel(header);
    (*glyph)->setPixmap(HeaderGlyph(true));
    h->addWidget(*glyph);
  }
  label = new QLabel(caption, header);
  QFont f = label->font();
  f.setBold(true);
  label->setFont(f);
  SetHeaderColour(label, kNavy);
  h->addWidget(label, 1);
  v->addWidget(header);
  return panel;
}

void TfrmMain::BuildMenu() {
  QMenuBar *mnuMain = menuBar();
  mnuMain->setObjectName(QStringLiteral("mnuMain"));
  QMenu *file = mnuMain->addMenu(QStringLiteral("&File"));
  file->setObjectName(QStringLiteral("mnuFile"));
  QAction *exit = file->addAction(QStringLiteral("E&xit"), this, &QWidget::close);
  exit->setObjectName(QStringLiteral("mnuFileExit"));
  QMenu *help = mnuMain->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("mnuHelp"));
  help->addAction(QStringLiteral("H&ome..."), this, &TfrmMain::mnuHelpHomeClick)
      ->setObjectName(QStringLiteral("mnuHelpHome"));
  help->addSeparator();
  help->addAction(QStringLiteral("&Help..."), this, &TfrmMain::mnuHelpHomeClick)
      ->setObjectName(QStringLiteral("mnuHelpHelp"));
  help->addSeparator();
  help->addAction(QStringLiteral("&About..."), this, &TfrmMain::mnuHelpAboutClick)
      ->setObjectName(QStringLiteral("mnuHelpAbout"));
}

void TfrmMain::BuildFilesPanel() {
  pnlFiles = MakePanel("pnlFiles", "pnlHeaderFiles", QStringLiteral("Files"), lblHeaderFiles, nullptr);
  pnlHeaderFiles = pnlFiles->findChild<QFrame *>(QStringLiteral("pnlHeaderFiles"));
  auto *v = static_cast<QVBoxLayout *>(pnlFiles->layout());
  auto *row = new QHBoxLayout;
  row->setContentsMargins(6, 2, 6, 0);
  cmdAddFiles = Named(new QPushButton(QStringLiteral("&Add Files"), pnlFiles), "cmdAddFiles");
  cmdRemoveFiles = Named(new QPushButton(QStringLiteral("&Remove Files"), pnlFiles), "cmdRemoveFiles");
  cmdClearFiles = Named(new QPushButton(QStringLiteral("C&lear"), pnlFiles), "cmdClearFiles");
  chkPathInfo = Named(new QCheckBox(QStringLiteral("Save Path"), pnlFiles), "chkPathInfo");
  chkPathInfo->setTristate(true);
  chkPathInfo->setCheckState(Qt::PartiallyChecked);
  chkPathInfo->setToolTip(QStringLiteral("Preserve directory structure"));
  lblTotalCDSize = Named(new QLabel(QStringLiteral("Used Disc Space: 0 MB, New: 0 MB"), pnlFiles),
                         "lblTotalCDSize");
  QFont bold = lblTotalCDSize->font();
  bold.setBold(true);
  lblTotalCDSize->setFont(bold);
  lblTotalCDSize->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  for (QWidget *w : {static_cast<QWidget *>(cmdAddFiles), static_cast<QWidget *>(cmdRemoveFiles),
                     static_cast<QWidget *>(cmdClearFiles), static_cast<QWidget *>(chkPathInfo)})
    row->addWidget(w);
  row->addStretch(1);
  v->addLayout(row);
  // The space figures get a line of their own above the bar they describe:
  // beside the buttons they lack the room at the default width.
  auto *space = new QHBoxLayout;
  space->setContentsMargins(6, 0, 6, 0);
  space->addWidget(lblTotalCDSize, 1);
  v->addLayout(space);

  cdsSize = Named(new TCDSize(pnlFiles), "cdsSize");
  cdsSize->SetMemBarColour(QColor(0x00, 0x80, 0x00));
  cdsSize->SetMemInitialColour(QColor(0x00, 0x00, 0xFF));
  cdsSize->SetProgressGap(0);
  cdsSize->setFixedHeight(20);
  auto *bar = new QHBoxLayout;
  bar->setContentsMargins(6, 0, 6, 0);
  bar->addWidget(cdsSize);
  v->addLayout(bar);

  lvwFiles = Named(new TFileListView(this), "lvwFiles");
  auto *list = new QHBoxLayout;
  list->setContentsMargins(6, 0, 6, 4);
  list->addWidget(lvwFiles);
  v->addLayout(list, 1);

  connect(cmdAddFiles, &QPushButton::clicked, this, &TfrmMain::cmdAddFilesClick);
  connect(cmdRemoveFiles, &QPushButton::clicked, this, &TfrmMain::cmdRemoveFilesClick);
  connect(cmdClearFiles, &QPushButton::clicked, this, &TfrmMain::cmdClearFilesClick);
}

void TfrmMain::BuildSettingsPanel() {
  pnlSettings = MakePanel("pnlSettings", "pnlHeaderSettings", QStringLiteral("Settings"),
                          lblHeaderSettings, &imgHeaderSettings);
  pnlHeaderSettings = pnlSettings->findChild<QFrame *>(QStringLiteral("pnlHeaderSettings"));
  imgHeaderSettings->setObjectName(QStringLiteral("imgHeaderSettings"));
  lblHeaderSettings->setObjectName(QStringLiteral("lblHeaderSettings"));
  lblHeaderSettings->setProperty("Tag", 1);
  pnlSettings->setFixedHeight(kSettingsHeight);
  auto *body = Named(new QWidget(pnlSettings), "pnlSettingsBody");
  auto *g = new QGridLayout(body);
  g->setContentsMargins(6, 0, 6, 2);
  g->setVerticalSpacing(0);
  const auto check = [&](const char *name, const QString &caption, bool checked) {
    auto *c = Named(new QCheckBox(caption, body), name);
    c->setChecked(checked);
    return c;
  };
  auto *lblVolume = new QLabel(QStringLiteral("Volume Label:"), body);
  txtVolumeLabel = Named(new QLineEdit(body), "txtVolumeLabel");
  txtVolumeLabel->setMaxLength(16);
  chkJoliet = check("chkJoliet", QStringLiteral("Joliet File System"), true);
  chkJoliet->setToolTip(QStringLiteral("Long File Name"));
  chkCloseDisc = check("chkCloseDisc", QStringLiteral("Close Disc (Finalize)"), true);
  chkImportSession = check("chkImportSession", QStringLiteral("Import Session"), false);
  txtSession = Named(new QLineEdit(QStringLiteral("0"), body), "txtSession");
  txtSession->setEnabled(false);
  txtSession->setMaximumWidth(40);
  txtSession->setToolTip(QStringLiteral("Session Number to Import; for Last Session enter -1"));
  chkUnderrunProtection = check("chkUnderrunProtection", QStringLiteral("Underrun Protection"), true);
  chkTestWrite = check("chkTestWrite", QStringLiteral("Test Write"), false);
  chkEject = check("chkEject", QStringLiteral("Eject after Write/Erase"), true);
  chkOPC = check("chkOPC", QStringLiteral("Perform OPC"), false);
  chkQuickSaveISO = check("chkQuickSaveISO", QStringLiteral("Quick Save .ISO"), false);
  chkBootable = check("chkBootable", QStringLiteral("Bootable"), false);
  lblBootable = Named(new QLabel(QStringLiteral("..."), body), "lblBootable");
  chkArchiveOnly = check("chkArchiveOnly", QStringLiteral("Archive files only && Clear Archive Bit"), false);
  auto *lblCache = new QLabel(QStringLiteral("Cache Size :"), body);
  sldCacheSize = Named(new QSlider(Qt::Horizontal, body), "sldCacheSize");
  sldCacheSize->setRange(2, 64);
  sldCacheSize->setTickInterval(4);
  sldCacheSize->setTickPosition(QSlider::TicksBelow);
  sldCacheSize->setValue(2);
  lblCacheSize = Named(new QLabel(QStringLiteral("0"), body), "lblCacheSize");
  cmdCloseTrack = Named(new QPushButton(QStringLiteral("Close Trac&k"), body), "cmdCloseTrack");
  chkVerify = check("chkVerify", QStringLiteral("Verify after burn"), false);
  chkVerify->setToolTip(QStringLiteral("Read the written session back and compare it"));
  chkRockRidge = check("chkRockRidge", QStringLiteral("Rock Ridge"), true);
  chkRockRidge->setToolTip(QStringLiteral("Linux names, modes and owners"));
  auto *rrMenu = new QMenu(body);
  actKeepPermissions = rrMenu->addAction(QStringLiteral("Keep permissions and owners"));
  actKeepPermissions->setCheckable(true);
  actStoreSymlinks = rrMenu->addAction(QStringLiteral("Store symbolic links as links"));
  actStoreSymlinks->setCheckable(true);
  cmdRockRidge = Named(new QToolButton(body), "cmdRockRidgeOptions");
  cmdRockRidge->setText(QStringLiteral("..."));
  cmdRockRidge->setToolTip(QStringLiteral("Rock Ridge settings"));
  cmdRockRidge->setMenu(rrMenu);
  cmdRockRidge->setPopupMode(QToolButton::InstantPopup);

  auto *volume = new QHBoxLayout;
  volume->addWidget(lblVolume);
  volume->addWidget(txtVolumeLabel);
  g->addLayout(volume, 0, 0);
  g->addWidget(chkJoliet, 1, 0);
  g->addWidget(chkCloseDisc, 2, 0);
  auto *session = new QHBoxLayout;
  session->addWidget(chkImportSession);
  session->addWidget(txtSession);
  session->addStretch();
  g->addLayout(session, 3, 0);
  g->addWidget(chkUnderrunProtection, 0, 1);
  g->addWidget(chkTestWrite, 1, 1);
  g->addWidget(chkEject, 2, 1);
  g->addWidget(chkOPC, 3, 1);
  g->addWidget(chkQuickSaveISO, 0, 2);
  auto *boot = new QHBoxLayout;
  boot->addWidget(chkBootable);
  boot->addWidget(lblBootable, 1);
  g->addLayout(boot, 1, 2);
  g->addWidget(chkArchiveOnly, 2, 2);
  auto *cache = new QHBoxLayout;
  cache->addWidget(lblCache);
  cache->addWidget(sldCacheSize, 1);
  cache->addWidget(lblCacheSize);
  g->addLayout(cache, 3, 2);
  g->addWidget(chkVerify, 4, 0);
  auto *rockRidge = new QHBoxLayout;
  rockRidge->addWidget(chkRockRidge);
  rockRidge->addWidget(cmdRockRidge);
  rockRidge->addStretch();
  g->addLayout(rockRidge, 4, 1);
  g->addWidget(cmdCloseTrack, 4, 2, Qt::AlignRight);
  pnlSettings->layout()->addWidget(body);

  connect(chkImportSession, &QCheckBox::toggled, this, &TfrmMain::chkImportSessionClick);
  connect(chkBootable, &QCheckBox::toggled, this, &TfrmMain::chkBootableClick);
  connect(sldCacheSize, &QSlider::valueChanged, this, &TfrmMain::sldCacheSizeChange);
  connect(chkVerify, &QCheckBox::toggled, this, &TfrmMain::chkVerifyClick);
  connect(chkRockRidge, &QCheckBox::toggled, this, &TfrmMain::RockRidgeClick);
  connect(actKeepPermissions, &QAction::toggled, this, &TfrmMain::RockRidgeClick);
  connect(actStoreSymlinks, &QAction::toggled, this, &TfrmMain::RockRidgeClick);
  connect(cmdCloseTrack, &QPushButton::clicked, this, &TfrmMain::cmdCloseTrackClick);
  lblHeaderSettings->installEventFilter(this);
  imgHeaderSettings->installEventFilter(this);
}

void TfrmMain::BuildBurnPanel() {
  pnlBurn = MakePanel("pnlBurn", "pnlHeaderBurn", QStringLiteral("Burn"), lblHeaderBurn, &imgHeaderBurn);
  pnlHeaderBurn = pnlBurn->findChild<QFrame *>(QStringLiteral("pnlHeaderBurn"));
  imgHeaderBurn->setObjectName(QStringLiteral("imgHeaderBurn"));
  lblHeaderBurn->setObjectName(QStringLiteral("lblHeaderBurn"));
  lblHeaderBurn->setProperty("Tag", 2);
  pnlBurn->setFixedHeight(kBurnHeight);
  auto *body = Named(new QWidget(pnlBurn), "pnlBurnBody");
  auto *g = new QGridLayout(body);
  g->setContentsMargins(6, 0, 6, 2);
  g->setVerticalSpacing(2);
  const auto button = [&](const char *name, const QString &caption) {
    return Named(new QPushButton(caption, body), name);
  };
  lblDrive = Named(new QLabel(QStringLiteral("Drive:"), body), "lblDrive");
  cmbDrives = Named(new TElidedCombo(body), "cmbDrives");
  cmbDrives->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  cmbDrives->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cmbDrives->setMinimumContentsLength(12);
  auto *speed = Named(new TDropDownCombo(body), "cmbSpeed");
  speed->OnDropDown = [this] { FillSpeedList(); };
  cmbSpeed = speed;
  cmbSpeed->addItem(QStringLiteral("Max"));
  cmbSpeed->setCurrentIndex(0);
  cmdDiscInfo = button("cmdDiscInfo", QStringLiteral("Disc I&nfo"));
  cmdCapabilities = button("cmdCapabilities", QStringLiteral("Ca&pabilities"));
  cmdEject = button("cmdEject", QStringLiteral("E&ject"));
  cmdLoad = button("cmdLoad", QStringLiteral("L&oad"));
  cmdBurn = button("cmdBurn", QStringLiteral("&Burn CD or DVD"));
  cmdBuildISO = button("cmdBuildISO", QStringLiteral("Build &ISO"));
  cmdBurnISO = button("cmdBurnISO", QStringLiteral("B&urn ISO"));
  cmdQuickErase = button("cmdQuickErase", QStringLiteral("&Quick Erase"));
  cmdCompleteErase = button("cmdCompleteErase", QStringLiteral("Complete &Erase"));
  cmdAbort = button("cmdAbort", QStringLiteral("Abor&t"));
  cmdAbort->setEnabled(false);
  auto *lblProgress = new QLabel(QStringLiteral("Progress: "), body);
  prgProgress = Named(new QProgressBar(body), "prgProgress");
  prgProgress->setTextVisible(false);
  prgProgress->setMaximumHeight(14);
  lblMBWritten = Named(new QLabel(QStringLiteral("MB Written: 0"), body), "lblMBWritten");
  lblBurnState = Named(new QLabel(QStringLiteral("Ready"), body), "lblBurnState");
  QFont bold = lblMBWritten->font();
  bold.setBold(true);
  lblMBWritten->setFont(bold);
  lblBurnState->setFont(bold);
  lblMBWritten->setMinimumWidth(110);
  // The state has a field of its own, so that it never runs into the figures.
  lblBurnState->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  lblBurnState->setMargin(1);
  lblBurnState->setMinimumWidth(lblBurnState->fontMetrics().horizontalAdvance(QStringLiteral("Building ISO...")) + 8);

  auto *drive = new QHBoxLayout;
  drive->addWidget(lblDrive);
  drive->addSpacing(4);
  drive->addWidget(cmbDrives, 1);
  drive->addWidget(cmbSpeed);
  drive->addWidget(cmdDiscInfo);
  drive->addWidget(cmdCapabilities);
  drive->addWidget(cmdEject);
  drive->addWidget(cmdLoad);
  g->addLayout(drive, 0, 0);
  auto *ops = new QHBoxLayout;
  for (QPushButton *b : {cmdBurn, cmdBuildISO, cmdBurnISO, cmdQuickErase, cmdCompleteErase})
    ops->addWidget(b);
  g->addLayout(ops, 1, 0);
  auto *progress = new QHBoxLayout;
  progress->addWidget(lblProgress);
  progress->addWidget(prgProgress, 1);
  progress->addWidget(lblMBWritten);
  progress->addWidget(lblBurnState);
  progress->addWidget(cmdAbort);
  g->addLayout(progress, 2, 0);
  pnlBurn->layout()->addWidget(body);

  connect(cmbDrives, &QComboBox::activated, this, &TfrmMain::cmbDrivesChange);
  connect(cmdCapabilities, &QPushButton::clicked, this, &TfrmMain::ShowCapabilities);
  connect(cmdDiscInfo, &QPushButton::clicked, this, &TfrmMain::cmdDiscInfoClick);
  connect(cmdEject, &QPushButton::clicked, this, &TfrmMain::cmdEjectClick);
  connect(cmdLoad, &QPushButton::clicked, this, &TfrmMain::cmdLoadClick);
  connect(cmdBurn, &QPushButton::clicked, this, &TfrmMain::cmdBurnClick);
  connect(cmdBuildISO, &QPushButton::clicked, this, &TfrmMain::cmdBuildISOClick);
  connect(cmdBurnISO, &QPushButton::clicked, this, &TfrmMain::cmdBurnISOClick);
  connect(cmdQuickErase, &QPushButton::clicked, this, &TfrmMain::cmdQuickEraseClick);
  connect(cmdCompleteErase, &QPushButton::clicked, this, &TfrmMain::cmdCompleteEraseClick);
  connect(cmdAbort, &QPushButton::clicked, this, &TfrmMain::cmdAbortClick);
  lblHeaderBurn->installEventFilter(this);
  imgHeaderBurn->installEventFilter(this);
}

void TfrmMain::CopyOptionsToControls() {
  const TOptions &o = options_;
  chkArchiveOnly->setChecked(o.ArchiveFiles);
  chkImportSession->setChecked(o.ImportSession);
  chkPathInfo->setCheckState(o.SavePath ? Qt::Checked : Qt::Unchecked);
  chkCloseDisc->setChecked(o.CloseDisc);
  chkEject->setChecked(o.EjectDisc);
  chkJoliet->setChecked(o.JolietFS);
  chkBootable->setChecked(o.Bootable);
  chkTestWrite->setChecked(o.TestWrite);
  chkQuickSaveISO->setChecked(o.QuickSaveISO);
  chkUnderrunProtection->setChecked(o.UnderRunProtection);
  chkOPC->setChecked(o.PerformOPC);
  txtSession->setText(QString::fromStdString(o.SessionNo));
  lblBootable->setText(QString::fromStdString(o.BootImage));
  txtVolumeLabel->setText(QString::fromStdString(o.VolumeLabel));
  sldCacheSize->setValue(o.CacheSize / 1048576);
  chkVerify->setChecked(o.VerifyAfterBurn);
  const bool keep = o.RockRidgeKeepPermissions, links = o.RockRidgeSymlinks;
  chkRockRidge->setChecked(o.RockRidge);
  actKeepPermissions->setChecked(keep);
  actStoreSymlinks->setChecked(links);
  RockRidgeClick();
}

void TfrmMain::RockRidgeClick() {
  options_.RockRidge = chkRockRidge->isChecked();
  options_.RockRidgeKeepPermissions = actKeepPermissions->isChecked();
  options_.RockRidgeSymlinks = actStoreSymlinks->isChecked();
  actKeepPermissions->setEnabled(options_.RockRidge);
  actStoreSymlinks->setEnabled(options_.RockRidge);
  orvBurn->RockRidge = options_.RockRidge;
  orvBurn->RockRidgeKeepPermissions = options_.RockRidge && options_.RockRidgeKeepPermissions;
  orvBurn->RockRidgeSymlinks = options_.RockRidge && options_.RockRidgeSymlinks;
}

void TfrmMain::chkVerifyClick() { options_.VerifyAfterBurn = chkVerify->isChecked(); }

void TfrmMain::chkImportSessionClick() { txtSession->setEnabled(chkImportSession->isChecked()); }

void TfrmMain::chkBootableClick() {
  if (!chkBootable->isChecked())
    return;
  const QString preset = lblBootable->text();
  const QString chosen = BootImageChooser
                             ? BootImageChooser(this, preset)
                             : QFileDialog::getOpenFileName(
                                   this, QString(), preset,
                                   QStringLiteral("All Image Files (*.IMG *.IMA *.BIN *.img *.ima *.bin);;"
                                                  "All Files (*)"));
  if (chosen.isEmpty()) {
    const QSignalBlocker block(chkBootable);
    chkBootable->setChecked(false);
  } else {
    lblBootable->setText(chosen);
  }
}

void TfrmMain::sldCacheSizeChange() {
  lblCacheSize->setText(QStringLiteral("%1 MB").arg(sldCacheSize->value(), 2));
}

void TfrmMain::lblHeaderClick(QLabel *header) {
  const bool settings = header->property("Tag").toInt() == 1;
  QWidget *panel = settings ? pnlSettings : pnlBurn;
  QLabel *glyph = settings ? imgHeaderSettings : imgHeaderBurn;
  QWidget *body = panel->findChild<QWidget *>(QLatin1String(settings ? "pnlSettingsBody" : "pnlBurnBody"));
  const bool expanded = panel->property("Tag").toInt() == 2;
  panel->setProperty("Tag", expanded ? 1 : 2);
  body->setVisible(!expanded);
  panel->setFixedHeight(expanded ? kHeaderHeight : (settings ? kSettingsHeight : kBurnHeight));
  glyph->setPixmap(HeaderGlyph(!expanded));
  // The file panel takes what the two others leave.
  pnlContainer->layout()->activate();
}

bool TfrmMain::eventFilter(QObject *watched, QEvent *event) {
  QLabel *header = nullptr;
  if (watched == lblHeaderSettings || watched == imgHeaderSettings)
    header = lblHeaderSettings;
  else if (watched == lblHeaderBurn || watched == imgHeaderBurn)
    header = lblHeaderBurn;
  if (header) {
    if (event->type() == QEvent::MouseButtonPress)
      lblHeaderClick(header);
    else if (event->type() == QEvent::Enter)
      SetHeaderColour(header, kBlue);
    else if (event->type() == QEvent::Leave)
      SetHeaderColour(header, kNavy);
  }
  return QMainWindow::eventFilter(watched, event);
}

void TfrmMain::showEvent(QShowEvent *event) {
  QMainWindow::showEvent(event);
  if (!shown_) {
    shown_ = true;
    // The frame's size is known once the window manager has framed it.
    QMetaObject::invokeMethod(this, &TfrmMain::FitToScreen, Qt::QueuedConnection);
  }
  FormActivate();
}

void TfrmMain::FormActivate() {
  if (activated_)
    return;
  activated_ = true;
  if (options_.FirstRun) {
    liveUpdate_->Fetch("firstrun", options_.FirstRunURL);
    liveUpdate_->Fetch("allfirstrun", options_.AllFirstRunURL);
  }
}

void TfrmMain::LiveUpdateText(const std::string &name, const std::string &text) {
  if (name != "firstrun")
    return;
  if (QString::fromStdString(text).trimmed() == QLatin1String("f")) {
    options_.FirstRun = false;
    options_.SaveOptions(kOptionsBasePath);
  }
}

void TfrmMain::mnuHelpHomeClick() { OpenHomePage(); }

void TfrmMain::mnuHelpAboutClick() {
  ShowMessage(this, QStringLiteral("Version 2.1.1"), QStringLiteral("About Skarvo CD & DVD Burner"),
              QMessageBox::Information);
}

void TfrmMain::cmdAddFilesClick() {
  frmAddFiles_->show();
  frmAddFiles_->raise();
}

void TfrmMain::ShowCapabilities() {
  if (DriveJobRunning())
    return;
  TfrmDeviceCapabilities dlg(this);
  dlg.ShowFor(*orvBurn);
  dlg.exec();
}
