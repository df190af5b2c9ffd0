#include "uFrmDeviceCapabilities.h"

#include "ovDateTime.h"
#include "ovDrvLib.h"

#include <QGridLayout>
#include <QVBoxLayout>

#include <algorithm>

const TfrmDeviceCapabilities::TRow TfrmDeviceCapabilities::kRows[kRowCount] = {
    {"chkReadCDR", "Read CDR", capReadCDR, false},
    {"chkReadCDRW", "Read CDRW", capReadCDRW, false},
    {"chkReadDVD", "Read DVD", capReadDVDROM, false},
    {"chkReadDVDR", "Read DVD-R", capReadDVDR, false},
    {"chkReadDVDRW", "Read DVD-RW", capReadDVDRW, false},
    {"chkReadDVDRAM", "Read DVD-RAM", capReadDVDRAM, false},
    {"chkReadDVDPR", "Read DVD+R", capReadDVDPlusR, false},
    {"chkReadDVDPRW", "Read DVD+RW", capReadDVDPlusRW, false},
    {"chkReadBD", "Read BD-ROM", capReadBD, false},
    {"chkWriteCDR", "Write CDR", capWriteCDR, true},
    {"chkWriteCDRW", "Write CDRW", capWriteCDRW, true},
    {"chkWriteTest", "Write Test", capTestWrite, true},
    {"chkWriteDVDR", "Write DVD-R", capWriteDVDR, true},
    {"chkWriteDVDRW", "Write DVD-RW", capWriteDVDRW, true},
    {"chkWriteDVDRAM", "Write DVD-RAM", capWriteDVDRAM, true},
    {"chkWriteDVDPR", "Write DVD+R", capWriteDVDPlusR, true},
    {"chkWriteDVDPRW", "Write DVD+RW", capWriteDVDPlusRW, true},
    {"chkWriteBDR", "Write BD-R", capWriteBDR, true},
    {"chkWriteBDRE", "Write BD-RE", capWriteBDRE, true},
    {"chkUnderrunProtection", "Underrun Protection", capUnderrunProtection, true},
};

TfrmDeviceCapabilities::TfrmDeviceCapabilities(QWidget *owner) : QDialog(owner) {
  setObjectName(QStringLiteral("frmDeviceCapabilities"));
  setWindowTitle(QStringLiteral("Device Capabilities"));
  setFixedSize(372, 318);
  pnlCaps = new QWidget(this);
  pnlCaps->setObjectName(QStringLiteral("pnlCaps"));
  lblDeviceName = new QLabel(pnlCaps);
  lblDeviceName->setObjectName(QStringLiteral("lblDeviceName"));
  lblDeviceName->setAlignment(Qt::AlignCenter);
  auto *g = new QGridLayout(pnlCaps);
  g->setVerticalSpacing(0);
  g->addWidget(lblDeviceName, 0, 0, 1, 2);
  // Reads in the left column, writes in the right one, each from the top.
  int rows[2] = {1, 1};
  for (const TRow &r : kRows) {
    auto *c = new QCheckBox(QLatin1String(r.Caption), pnlCaps);
    c->setObjectName(QLatin1String(r.Name));
    Boxes.push_back(c);
    g->addWidget(c, rows[r.Write]++, r.Write ? 1 : 0);
  }
  const int below = std::max(rows[0], rows[1]);
  lblMaxWriteSpeed = new QLabel(pnlCaps);
  lblMaxWriteSpeed->setObjectName(QStringLiteral("lblMaxWriteSpeed"));
  lblMaxReadSpeed = new QLabel(pnlCaps);
  lblMaxReadSpeed->setObjectName(QStringLiteral("lblMaxReadSpeed"));
  g->addWidget(lblMaxWriteSpeed, below, 0, 1, 2);
  g->addWidget(lblMaxReadSpeed, below + 1, 0, 1, 2);
  // A disabled panel: the boxes show, they cannot be changed.
  pnlCaps->setEnabled(false);
  cmdClose = new QPushButton(QStringLiteral("Close"), this);
  cmdClose->setObjectName(QStringLiteral("cmdClose"));
  auto *v = new QVBoxLayout(this);
  v->addWidget(pnlCaps, 1);
  v->addWidget(cmdClose, 0, Qt::AlignHCenter);
  connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
}

void TfrmDeviceCapabilities::ShowFor(const TSCSIDevice &device) {
  lblDeviceName->setText(QStringLiteral("  ") + QString::fromStdString(device.DeviceID));
  for (int i = 0; i < kRowCount; ++i)
    Boxes[i]->setChecked(device.HasCapability(static_cast<TCapability>(kRows[i].Bit)));
  lblMaxWriteSpeed->setText(QStringLiteral("Max Write Speed : ") +
                            QString::fromStdString(ov::FormatFloat("0 KB/s", device.DeviceMaxWriteSpeed())));
  lblMaxReadSpeed->setText(QStringLiteral("Max Read Speed  : ") +
                           QString::fromStdString(ov::FormatFloat("0 KB/s", device.DeviceMaxReadSpeed())));
}
