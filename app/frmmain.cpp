#include "app/frmmain.h"

#include "app/twips.h"
#include "common/branding.h"
#include "common/focusloss.h"
#include "device/mscomm.h"
#include "device/sysinfo.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace tervalo {

namespace {

template <typename T> T *place(QWidget *parent, const char *name, QRect rect)
{
    auto *w = new T(parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(rect);
    return w;
}

} // namespace

frmMain::frmMain(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tervalo by Quillmar"));
    createControls();
    connectHandlers();
}

frmMain::~frmMain() = default;

void frmMain::createControls()
{
    auto *client = new QWidget(this);
    setCentralWidget(client);
    client->setFixedSize(twipsToPixels(6195), twipsToPixels(3840));

    frmChSelect = place<QGroupBox>(client, "frmChSelect", twipsRect(120, 0, 3855, 3375));
    lblTemperature = place<QLabel>(frmChSelect, "lblTemperature", twipsRect(1560, 240, 975, 255));
    lblTemperature->setText(QStringLiteral("Temperature"));
    for (int i = 0; i < 6; ++i) {
        chkCh[i] = place<QCheckBox>(frmChSelect, "chkCh", twipsRect(120, 480 + 240 * i, 1095, 255));
        chkCh[i]->setObjectName(QStringLiteral("chkCh%1").arg(i));
        chkCh[i]->setText(QStringLiteral("Channel %1").arg(i + 1));
        chkCh[i]->setChecked(true);
        lblCh[i] = place<QLabel>(frmChSelect, "lblCh", twipsRect(1320, 480 + 240 * i, 1335, 285));
        lblCh[i]->setObjectName(QStringLiteral("lblCh%1").arg(i));
        lblCh[i]->setAlignment(Qt::AlignCenter);
        lblCh[i]->setFrameShape(QFrame::Box);
        lblCh[i]->setAutoFillBackground(true);
        QPalette white = lblCh[i]->palette();
        white.setColor(QPalette::Window, Qt::white);
        lblCh[i]->setPalette(white);
    }
    lblPortNo = place<QLabel>(frmChSelect, "lblPortNo", twipsRect(120, 2280, 975, 255));
    lblPortNo->setText(QStringLiteral("Comm Port #"));
    lblPortNo->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    cmbPort = place<QComboBox>(frmChSelect, "cmbPort", twipsRect(1200, 2280, 615, 315));
    cmbPort->setEditable(true);
    cmbPort->setInsertPolicy(QComboBox::NoInsert);
    lblAddress = place<QLabel>(frmChSelect, "lblAddress", twipsRect(480, 2640, 615, 255));
    lblAddress->setText(QStringLiteral("Address"));
    lblAddress->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    txtAddress = place<QLineEdit>(frmChSelect, "txtAddress", twipsRect(1200, 2640, 615, 255));
    txtAddress->setText(QStringLiteral("0"));
    lblAddressDesc = place<QLabel>(frmChSelect, "lblAddressDesc", twipsRect(1920, 2670, 375, 255));
    lblAddressDesc->setText(QStringLiteral("0 - 7"));

    cmdRead = place<QPushButton>(client, "cmdRead", twipsRect(4200, 2040, 1815, 375));
    cmdRead->setText(QStringLiteral("&Read Data"));
    lblStringDisplay = place<QLabel>(client, "lblStringDisplay", twipsRect(30, 3555, 6135, 255));
    lblStringDisplay->setFrameShape(QFrame::Box);
    lblStringDisplay->setText(defaultStatusText());

    MSComm1 = new MSComm(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    tmrTimeout = new QTimer(this);
    tmrTimeout->setObjectName(QStringLiteral("tmrTimeout"));
    tmrTimeout->setInterval(500);
    sysInfo = new SysInfo(this);
    sysInfo->setObjectName(QStringLiteral("sysInfo"));
}

void frmMain::connectHandlers()
{
    DeviceLinkControls controls;
    controls.MSComm1 = MSComm1;
    controls.cmbPort = cmbPort;
    controls.txtAddress = txtAddress;
    controls.chkCh = chkCh;
    controls.lblCh = lblCh;
    controls.lblStringDisplay = lblStringDisplay;
    controls.tmrTimeout = tmrTimeout;
    DeviceLinkHooks hooks;
    ports = std::make_unique<PortManagement>(state, controls, hooks);
    protocol = std::make_unique<ReadingProtocol>(state, *ports, controls, hooks);

    connect(MSComm1, &MSComm::OnComm, protocol.get(), &ReadingProtocol::MSComm1_OnComm);
    connect(MSComm1, &MSComm::deviceLost, ports.get(), &PortManagement::MSComm1_DeviceLost);
    connect(tmrTimeout, &QTimer::timeout, protocol.get(), &ReadingProtocol::tmrTimeout_Timer);
    connect(sysInfo, &SysInfo::PowerSuspend, ports.get(), &PortManagement::sysInfo_PowerSuspend);
    connect(cmdRead, &QPushButton::clicked, protocol.get(), &ReadingProtocol::requestData);
    FocusLossFilter::attach(cmbPort, [this] { ports->cmbPort_LostFocus(); });
    FocusLossFilter::attach(txtAddress, [this] { ports->txtAddress_LostFocus(); });
}

void frmMain::setDeviceLinkHooks(const DeviceLinkHooks &hooks)
{
    ports->setHooks(hooks);
    protocol->setHooks(hooks);
}

void frmMain::Form_Load()
{
    state.tempType = QStringLiteral("c");
    ports->probePorts(0);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    MSComm1->setPortOpen(false);
    event->accept();
}

} // namespace tervalo
