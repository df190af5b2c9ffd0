#include "uFrmDeviceCapabilities.h"

#include "ovDateTime.h"
#include "ovDrvLib.h"

#include <QGridLayout>
#include <QVBoxLayout>

const TfrmDeviceCapabilities::TRow TfrmDeviceCapabilities::kRows[17] = {
    {"chkReadCDR", "Read CDR", capReadCDR},
    {"chkReadCDRW", "Read CDRW", capReadCDRW},
    {"chkReadDVD", "Read DVD", capReadDVDROM},
    {"chkReadDVDR", "Read DVD-R", capReadDVDR},
    {"chkReadDVDRW", "Read DVD-RW", capReadDVDRW},
    {"chkReadDVDRAM", "Read DVD-RAM", capReadDVDRAM},
    {"chkReadDVDPR", "Read DVD+R", capReadDVDPlusR},
    {"chkReadDVDPRW", "Read DVD+RW", capReadDVDPlusRW},
    {"chkWriteCDR", "Write CDR", capWriteCDR},
    {"chkWriteCDRW", "Write CDRW", capWriteCDRW},
    {"chkWriteTest", "Write Test", capTestWrite},
    {"chkWriteDVDR", "Write DVD-R", capWriteDVDR},
    {"chkWriteDVDRW", "Write DVD-RW", capWriteDVDRW},
    {"chkWriteDVDRAM", "Write DVD-RAM", capWriteDVDRAM},
    {"chkWriteDVDPR", "Write DVD+R", capWriteDVDPlusR},
    {"chkWriteDVDPRW", "Write DVD+RW", capWriteDVDPlusRW},
    {"chkUnderrunProtection", "Underrun Protection", capUnderrunProtection},
};

TfrmDeviceCapabilities::TfrmDeviceCapabilities(QWidget *owner) : QDialog(owner) {
  setObjectName(QStringLiteral("frmDeviceCapabilities"));
  setWindowTitle(QStringLiteral("Device Capabilities"));
  setFixedSize(372, 278);
  pnlCaps = new QWidget(this);
  pnlCaps->setObjectName(QStringLiteral("pnlCaps"));
  lblDeviceName = new QLabel(pnlCaps);
  lblDeviceName->setObjectName(QStringLiteral("lblDeviceName"));
  lblDeviceName->setAlignment(Qt::AlignCenter);
  auto *g = new QGridLayout(pnlCaps);
  g->setVerticalSpacing(0);
  g->addWidget(lblDeviceName, 0, 0, 1, 2);
  for (int i = 0; i < 17; ++i) {
    auto *c = new QCheckBox(QLatin1String(kRows[i].Caption), pnlCaps);
    c->setObjectName(QLatin1String(kRows[i].Name));
    Boxes.push_back(c);
    // Reads in the left column, writes in the right one.
    const bool write = i >= 8;
    g->addWidget(c, 1 + (write ? i - 8 : i), write ? 1 : 0);
  }
  lblMaxWriteSpeed = new QLabel(pnlCaps);
  lblMaxWriteSpeed->setObjectName(QStringLiteral("lblMaxWriteSpeed"));
  lblMaxReadSpeed = new QLabel(pnlCaps);
  lblMaxReadSpeed->setObjectName(QStringLiteral("lblMaxReadSpeed"));
  g->addWidget(lblMaxWriteSpeed, 10, 0, 1, 2);
  g->addWidget(lblMaxReadSpeed, 11, 0, 1, 2);
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
  for (int i = 0; i < 17; ++i)
    Boxes[i]->setChecked(device.HasCapability(static_cast<TCapability>(kRows[i].Bit)));
  lblMaxWriteSpeed->setText(QStringLiteral("Max Write Speed : ") +
                            QString::fromStdString(ov::FormatFloat("0 KB/s", device.DeviceMaxWriteSpeed())));
  lblMaxReadSpeed->setText(QStringLiteral("Max Read Speed  : ") +
                           QString::fromStdString(ov::FormatFloat("0 KB/s", device.DeviceMaxReadSpeed())));
}
