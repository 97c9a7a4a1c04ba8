#include "app/frmmain.h"

#include "acquisition/acquisitioncycle.h"
#include "acquisition/hirestimer.h"
#include "acquisition/sessionthread.h"
#include "app/etchedframe.h"
#include "app/frmalarms.h"
#include "app/frmabout.h"
#include "app/help.h"
#include "app/images/productimages.h"
#include "common/twips.h"
#include "common/branding.h"
#include "common/cardrules.h"
#include "common/focusloss.h"
#include "device/sysinfo.h"
#include "history/historykeeper.h"
#include "output/datalog.h"
#include "output/frmgraph.h"
#include "output/graph.h"
#include "output/alarmdisplay.h"
#include "output/readingsdisplay.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTimer>

namespace tervalo {

namespace {

template <typename T>
T *place(QWidget *parent, const QString &name, const QRect &rect, const QString &text = {})
{
    auto *control = new T(parent);
    control->setObjectName(name);
    control->setGeometry(rect);
    if constexpr (requires { control->setText(text); }) {
        if (!text.isEmpty())
            control->setText(text);
    }
    return control;
}

QLabel *rightAligned(QLabel *label)
{
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

// The shortcuts of the menu bar work from every control. A text box would otherwise keep Ctrl+X
// (cut) for itself, and Exit would not end the program while the address box has the focus.
const QKeySequence menuShortcuts[] = {QKeySequence(Qt::CTRL | Qt::Key_X),
                                      QKeySequence(Qt::CTRL | Qt::Key_S),
                                      QKeySequence(Qt::CTRL | Qt::Key_G),
                                      QKeySequence(Qt::CTRL | Qt::Key_H),
                                      QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_H)};

// Fahrenheit's option is 13 pixels high, less than a round indicator of the usual styles needs,
// which would be cut at the bottom. The option grows about its middle until the indicator is
// whole; its text stays on the same line.
void showIndicatorWhole(QRadioButton *option)
{
    QStyleOptionButton look;
    look.initFrom(option);
    const int needed = option->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorHeight, &look, option);
    const int grow = needed - option->height();
    if (grow > 0)
        option->setGeometry(option->geometry().adjusted(0, -grow / 2, 0, grow - grow / 2));
}

} // namespace

frmMain::frmMain(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Tervalo by Quillmar"));
    setWindowIcon(productIcon());
    endProgram = [] { QCoreApplication::exit(0); };

    // 8.25 points at 96 dots per inch: eleven pixels, whatever the screen claims, so the captions
    // fit their controls as the layout was drawn.
    QFont font = this->font();
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(11);
    setFont(font);

    createControls();
    createMenus();
    // The client area opens at its drawn size, and the window may be made smaller than that:
    // the controls stay where they are and are cut off.
    resize(twipsToPixels(6195), twipsToPixels(3840) + menuBar()->sizeHint().height());
    setTabOrder();
    connectHandlers();
}

frmMain::~frmMain() = default;

void frmMain::createControls()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    frmChSelect = place<EtchedFrame>(client, QStringLiteral("frmChSelect"), twipsRect(120, 0, 3855, 3375));
    lblTemperature = place<QLabel>(frmChSelect, QStringLiteral("lblTemperature"),
                                   twipsRect(1560, 240, 975, 255), QStringLiteral("Temperature"));
    static const int unitTops[6] = {480, 735, 975, 1230, 1470, 1725};
    for (int i = 0; i < channelCount; ++i) {
        const int top = 480 + 240 * i;
        chkCh[i] = place<QCheckBox>(frmChSelect, QStringLiteral("chkCh%1").arg(i),
                                    twipsRect(120, top, 1095, 255), QStringLiteral("Channel %1").arg(i + 1));
        chkCh[i]->setChecked(true);
        lblCh[i] = place<QLabel>(frmChSelect, QStringLiteral("lblCh%1").arg(i),
                                 twipsRect(1320, top, 1335, 285));
        lblCh[i]->setAlignment(Qt::AlignCenter);
        lblCh[i]->setFrameShape(QFrame::Box);
        lblCh[i]->setAutoFillBackground(true);
        QPalette white = lblCh[i]->palette();
        white.setColor(QPalette::Window, Qt::white);
        lblCh[i]->setPalette(white);
        lblTemp[i] = place<QLabel>(frmChSelect, QStringLiteral("lblTemp%1").arg(i),
                                   twipsRect(2760, unitTops[i], 975, 255), unitName(QStringLiteral("r")));
    }
    lblPortNo = rightAligned(place<QLabel>(frmChSelect, QStringLiteral("lblPortNo"),
                                           twipsRect(120, 2280, 975, 255), QStringLiteral("Comm Port #")));
    cmbPort = place<QComboBox>(frmChSelect, QStringLiteral("cmbPort"), twipsRect(1200, 2280, 615, 315));
    cmbPort->setEditable(true);
    cmbPort->setInsertPolicy(QComboBox::NoInsert);
    lblAddress = rightAligned(place<QLabel>(frmChSelect, QStringLiteral("lblAddress"),
                                            twipsRect(480, 2640, 615, 255), QStringLiteral("Address")));
    txtAddress = place<QLineEdit>(frmChSelect, QStringLiteral("txtAddress"),
                                  twipsRect(1200, 2640, 615, 255), QStringLiteral("0"));
    lblAddressDesc = place<QLabel>(frmChSelect, QStringLiteral("lblAddressDesc"),
                                   twipsRect(1920, 2670, 375, 255), QStringLiteral("0 - 7"));
    lblUpdateTime = rightAligned(place<QLabel>(frmChSelect, QStringLiteral("lblUpdateTime"),
                                               twipsRect(-120, 3050, 1215, 255), QStringLiteral("Sample Rate")));
    cmbSampleRate = place<QComboBox>(frmChSelect, QStringLiteral("cmbSampleRate"),
                                     twipsRect(1200, 3000, 1095, 315));
    cmbSampleRate->setEditable(true);
    cmbSampleRate->setInsertPolicy(QComboBox::NoInsert);

    frameDataOutputSelect = place<EtchedFrame>(frmChSelect, QStringLiteral("frameDataOutputSelect"),
                                             twipsRect(2400, 2040, 1335, 1215));
    frameDataOutputSelect->setTitle(QStringLiteral("Data Output"));
    frameDataOutputSelect->setToolTip(QStringLiteral("Raw Data, Celsius, or Fahrenheit"));
    OptRaw = place<QRadioButton>(frameDataOutputSelect, QStringLiteral("OptRaw"),
                                 twipsRect(120, 240, 1095, 255), QStringLiteral("Raw Data"));
    OptCelsius = place<QRadioButton>(frameDataOutputSelect, QStringLiteral("OptCelsius"),
                                     twipsRect(120, 600, 855, 255), QStringLiteral("Celsius"));
    OptFahrenheit = place<QRadioButton>(frameDataOutputSelect, QStringLiteral("OptFahrenheit"),
                                        twipsRect(120, 960, 1095, 195), QStringLiteral("Fahrenheit"));
    for (QRadioButton *option : {OptRaw, OptCelsius, OptFahrenheit})
        showIndicatorWhole(option);
    OptRaw->setChecked(true);

    Picture1 = place<QLabel>(client, QStringLiteral("Picture1"), twipsRect(4800, 30, 615, 1215));
    Picture1->setAlignment(Qt::AlignCenter);
    Picture1->setPixmap(thermometerPixmap(QSize(41, 80)));
    chkSave = place<QCheckBox>(client, QStringLiteral("chkSave"), twipsRect(4440, 1250, 1335, 255),
                               QStringLiteral("&Save to Disk"));
    cmdGraph = place<QPushButton>(client, QStringLiteral("cmdGraph"), twipsRect(4200, 1560, 1815, 375),
                                  QStringLiteral("View &Graph"));
    cmdRead = place<QPushButton>(client, QStringLiteral("cmdRead"), twipsRect(4200, 2040, 1815, 375),
                                 QStringLiteral("&Read Data"));
    cmdContinuous = place<QPushButton>(client, QStringLiteral("cmdContinuous"),
                                       twipsRect(4200, 2520, 1815, 375), QStringLiteral("&Continuous"));
    cmdExit = place<QPushButton>(client, QStringLiteral("cmdExit"), twipsRect(4200, 3000, 1815, 375),
                                 QStringLiteral("E&xit"));
    lblStringDisplay = place<QLabel>(client, QStringLiteral("lblStringDisplay"),
                                     twipsRect(30, 3555, 6135, 255), defaultStatusText());
    lblStringDisplay->setFrameShape(QFrame::Box);

    // The serial control MSComm1, the answer's time-out tmrTimeout and the sampling timer
    // "commTimer" live with the acquisition session, on a thread of its own.
    acquisitionThread = std::make_unique<SessionThread>();
    sysInfo = new SysInfo(this);
    sysInfo->setObjectName(QStringLiteral("sysInfo"));

    // The menu shortcuts that a text field would keep for itself (Ctrl+X is "cut") are caught
    // here. An editable combo box holds the focus itself and hands the shortcut check straight
    // to its line edit, past any filter there, so the combo boxes are watched as well.
    for (QWidget *field : {static_cast<QWidget *>(txtAddress), static_cast<QWidget *>(cmbPort),
                           static_cast<QWidget *>(cmbPort->lineEdit()), static_cast<QWidget *>(cmbSampleRate),
                           static_cast<QWidget *>(cmbSampleRate->lineEdit())})
        field->installEventFilter(this);
}

void frmMain::createMenus()
{
    const auto action = [this](QMenu *menu, const char *name, const QString &text,
                               const QKeySequence &shortcut = {}) {
        auto *item = menu->addAction(text);
        item->setObjectName(QString::fromLatin1(name));
        item->setShortcut(shortcut);
        item->setShortcutContext(Qt::WindowShortcut);
        return item;
    };
    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuExit = action(mnuFile, "mnuExit", QStringLiteral("E&xit"), menuShortcuts[0]);

    mnuTools = menuBar()->addMenu(QStringLiteral("&Tools"));
    mnuTools->setObjectName(QStringLiteral("mnuTools"));
    mnuContinuous = action(mnuTools, "mnuContinuous", QStringLiteral("&Continuous"));
    mnuSave = action(mnuTools, "mnuSave", QStringLiteral("Sa&ve to Disk"), menuShortcuts[1]);
    mnuSave->setCheckable(true);
    // Our own items come after the two every user knows, so Alt+T, Down still reaches the log.
    mnuTools->addSeparator();
    // Off unless the user turns it on: by default a run ends at its first failure.
    mnuKeepRunning = action(mnuTools, "mnuKeepRunning", QStringLiteral("&Keep Running"));
    mnuKeepRunning->setCheckable(true);
    mnuRescanPorts = action(mnuTools, "mnuRescanPorts", QStringLiteral("&Rescan Ports"));
    mnuAlarms = action(mnuTools, "mnuAlarms", QStringLiteral("&Alarms..."));
    mnuAcknowledgeAlarms = action(mnuTools, "mnuAcknowledgeAlarms", QStringLiteral("Ackno&wledge Alarms"));
    mnuAcknowledgeAlarms->setEnabled(false);

    mnuView = menuBar()->addMenu(QStringLiteral("&View"));
    mnuView->setObjectName(QStringLiteral("mnuView"));
    mnuGraph = action(mnuView, "mnuGraph", QStringLiteral("&Graph"), menuShortcuts[2]);
    mnuHistory = action(mnuView, "mnuHistory", QStringLiteral("&History"), menuShortcuts[4]);

    mnuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuAbout = action(mnuHelp, "mnuAbout", QStringLiteral("&About"));
    mnuGetHelp = action(mnuHelp, "mnuGetHelp", QStringLiteral("&Help"), menuShortcuts[3]);
}

void frmMain::setTabOrder()
{
    // Leaving the port list, the address box or the rate list is what applies a change to them,
    // so the order in which Tab visits the controls matters.
    const QWidget *order[] = {chkSave,    cmdGraph, cmdRead,       cmdContinuous, cmdExit,
                              cmbPort,    txtAddress, cmbSampleRate, OptRaw,      OptCelsius,
                              OptFahrenheit, chkCh[3], chkCh[2],    chkCh[1],      chkCh[0],
                              chkCh[5],   chkCh[4]};
    for (size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(const_cast<QWidget *>(order[i - 1]), const_cast<QWidget *>(order[i]));
    for (QLabel *label : findChildren<QLabel *>())
        label->setFocusPolicy(Qt::NoFocus);
}

void frmMain::connectHandlers()
{
    AcquisitionSession *session = acquisitionThread->session();

    PortManagementControls link;
    link.cmbPort = cmbPort;
    link.txtAddress = txtAddress;
    link.lblStringDisplay = lblStringDisplay;
    ports = std::make_unique<PortManagement>(state, *acquisitionThread, link);

    AcquisitionControls acq;
    acq.cmdRead = cmdRead;
    acq.cmdContinuous = cmdContinuous;
    acq.mnuContinuous = mnuContinuous;
    acq.cmbSampleRate = cmbSampleRate;
    acq.lblStringDisplay = lblStringDisplay;
    acq.txtAddress = txtAddress;
    acq.chkCh = chkCh;
    acquisition = std::make_unique<AcquisitionCycle>(state, acq);
    AcquisitionHooks acqHooks;
    acqHooks.setControlState = [this](bool enabled) { setControlState(enabled); };
    acquisition->setHooks(acqHooks);

    ReadingsDisplayControls shown;
    shown.frameDataOutputSelect = frameDataOutputSelect;
    shown.OptRaw = OptRaw;
    shown.OptCelsius = OptCelsius;
    shown.OptFahrenheit = OptFahrenheit;
    shown.lblCh = lblCh;
    shown.lblTemp = lblTemp;
    display = std::make_unique<ReadingsDisplay>(state, shown);
    alarms = std::make_unique<AlarmDisplay>(lblCh, lblStringDisplay);

    DataLogControls log;
    log.chkSave = chkSave;
    log.mnuSave = mnuSave;
    log.lblStringDisplay = lblStringDisplay;
    log.dialogParent = this;
    dataLog = std::make_unique<DataLog>(state, log);

    graph = std::make_unique<GraphPlot>();
    GraphHooks graphHooks;
    graphHooks.unitName = [this] { return display->unitName(); };
    graphHooks.continuousFlag = [this] { return state.continuousFlag; };
    graph->setHooks(graphHooks);
    connect(cmdGraph, &QPushButton::clicked, graph.get(), &GraphPlot::cmdGraph_Click);
    connect(mnuGraph, &QAction::triggered, graph.get(), &GraphPlot::mnuGraph_Click);

    history = std::make_unique<HistoryKeeper>();
    history->logFile = [this] { return state.saveToDisk ? dataLog->FileName : QString(); };
    connect(mnuHistory, &QAction::triggered, history.get(), &HistoryKeeper::mnuHistory_Click);

    ReadingsDisplayHooks shownHooks;
    shownHooks.graphVisible = [this] { return graph->graphVisible(); };
    shownHooks.initGraph = [this] { graph->initGraph(); };
    display->setHooks(shownHooks);

    // What the user chooses goes to the session; each is queued on its thread in the order made.
    connect(acquisition.get(), &AcquisitionCycle::setupChosen, session, &AcquisitionSession::setSetup);
    connect(acquisition.get(), &AcquisitionCycle::readRequested, session, &AcquisitionSession::requestData);
    connect(acquisition.get(), &AcquisitionCycle::runStarted, session, &AcquisitionSession::startRun);
    connect(acquisition.get(), &AcquisitionCycle::runStopped, session, &AcquisitionSession::stopRun);
    connect(acquisition.get(), &AcquisitionCycle::intervalChosen, session, &AcquisitionSession::setInterval);
    connect(dataLog.get(), &DataLog::logFileChanged, session, &AcquisitionSession::setLogFile);
    connect(graph.get(), &GraphPlot::commTimerEnabled, session, &AcquisitionSession::setCommTimerEnabled);
    connect(sysInfo, &SysInfo::PowerSuspend, ports.get(), &PortManagement::sysInfo_PowerSuspend);

    // One reading, told once to everyone who shows or keeps it.
    connect(session, &AcquisitionSession::readingTaken, display.get(), &ReadingsDisplay::showReading);
    connect(session, &AcquisitionSession::readingTaken, graph.get(), &GraphPlot::readingTaken);
    connect(session, &AcquisitionSession::readingTaken, dataLog.get(), &DataLog::readingTaken);
    connect(session, &AcquisitionSession::readingTaken, history.get(), &HistoryKeeper::readingTaken);
    // After the labels: the alarm's reason goes under the tool tip the reading has just written.
    connect(session, &AcquisitionSession::readingTaken, alarms.get(), &AlarmDisplay::readingTaken);
    connect(alarms.get(), &AlarmDisplay::latchedChanged, mnuAcknowledgeAlarms, &QAction::setEnabled);
    // What the session says and does by itself.
    connect(session, &AcquisitionSession::statusText, lblStringDisplay, &QLabel::setText);
    connect(session, &AcquisitionSession::readingsOutdated, display.get(), &ReadingsDisplay::readingsOutdated);
    connect(session, &AcquisitionSession::runEnded, acquisition.get(), &AcquisitionCycle::sessionEndedRun);
    connect(session, &AcquisitionSession::portsFound, ports.get(), &PortManagement::portsFound);

    FocusLossFilter::attach(cmbPort, [this] { ports->cmbPort_LostFocus(); });
    FocusLossFilter::attach(txtAddress, [this] { ports->txtAddress_LostFocus(); });
    connect(mnuKeepRunning, &QAction::triggered, this, &frmMain::mnuKeepRunning_Click);
    connect(mnuRescanPorts, &QAction::triggered, this, &frmMain::mnuRescanPorts_Click);
    connect(mnuAlarms, &QAction::triggered, this, &frmMain::mnuAlarms_Click);
    connect(mnuAcknowledgeAlarms, &QAction::triggered, this, &frmMain::mnuAcknowledgeAlarms_Click);
    connect(cmdExit, &QPushButton::clicked, this, &frmMain::cmdExit_Click);
    connect(mnuExit, &QAction::triggered, this, &frmMain::mnuExit_Click);
    connect(mnuAbout, &QAction::triggered, this, [this] { frmAbout::showAbout(this); });
    connect(mnuGetHelp, &QAction::triggered, this, [] { mnuGetHelp_Click(); });
    installHelpShortcut(this);
}

void frmMain::Show()
{
    if (!m_loaded) {
        m_loaded = true;
        Form_Load();
    }
    show();
    chkSave->setFocus(Qt::OtherFocusReason);
}

void frmMain::Form_Load()
{
    mnuSave->setChecked(false);
    SetPriority(-2, 256);
    // On Linux a priority is a thread's own, and the acquisition thread was started before this:
    // it asks for the same, since it is the one that keeps the sampling on time.
    acquisitionThread->call([](AcquisitionSession &) { SetPriority(-2, 256); });
    // "commTimer" was made with the session: 250 ms, not running until continuous mode starts.
    RegistryManagement::ensureDefaultSettings();
    const RegistryManagement::AppliedSettings applied = RegistryManagement::applySettings(*this);
    state.keepRunning = RegistryManagement::savedKeepRunning();
    mnuKeepRunning->setChecked(state.keepRunning);
    tellKeepRunning();
    alarms->loadSettings();
    ports->probePorts(applied.portListPosition);
    acquisition->fillRateList(applied.rateListPosition);
    state.continuousFlag = false;
    setAppHelpFile();
}

void frmMain::setControlState(bool enabled)
{
    cmbSampleRate->setEnabled(enabled);
    cmbPort->setEnabled(enabled);
    txtAddress->setEnabled(enabled);
    cmdRead->setEnabled(enabled);
    chkSave->setEnabled(enabled);
    frameDataOutputSelect->setEnabled(enabled);
    mnuSave->setEnabled(enabled);
    mnuKeepRunning->setEnabled(enabled);
    mnuRescanPorts->setEnabled(enabled);
    for (QCheckBox *box : chkCh)
        box->setEnabled(enabled);
}

void frmMain::cmdExit_Click()
{
    endProgram();
}

void frmMain::mnuExit_Click()
{
    cmdExit_Click();
}

void frmMain::mnuKeepRunning_Click()
{
    // A direct call flips the switch too; Qt has flipped the mark before a click reports.
    if (sender() != mnuKeepRunning)
        mnuKeepRunning->setChecked(!mnuKeepRunning->isChecked());
    state.keepRunning = mnuKeepRunning->isChecked();
    RegistryManagement::saveNumberSetting("Keep Running", state.keepRunning ? 1 : 0);
    tellKeepRunning();
}

void frmMain::tellKeepRunning()
{
    const bool on = state.keepRunning;
    acquisitionThread->post([on](AcquisitionSession &s) { s.setKeepRunning(on); });
}

void frmMain::mnuAlarms_Click()
{
    if (!alarmsDialog) {
        alarmsDialog = new frmAlarms(this);
        connect(alarmsDialog, &frmAlarms::applied, this, [this] {
            alarms->setRules(alarmsDialog->rules(), alarmsDialog->hysteresis(), alarmsDialog->delay());
            alarms->setSound(alarmsDialog->sound());
            alarms->saveSettings();
        });
    }
    alarmsDialog->load(alarms->rules(), alarms->hysteresis(), alarms->delay(), alarms->sound());
    alarmsDialog->setReadingUnit(state.tempType);
    alarmsDialog->show();
    alarmsDialog->raise();
    alarmsDialog->activateWindow();
}

void frmMain::mnuAcknowledgeAlarms_Click()
{
    alarms->acknowledge();
}

void frmMain::mnuRescanPorts_Click()
{
    if (state.continuousFlag)
        return;
    ports->rescanPorts();
}

void frmMain::setChannelValue(int index, int16_t value)
{
    // The boxes have two states; a stored grey state shows unchecked, which is also how the
    // decoding treats it.
    chkCh[index]->setChecked(value == 1);
}

void frmMain::setAddressText(const std::string &text)
{
    txtAddress->setText(QString::fromStdString(text));
}

void frmMain::setDataOutputValueToTrue(const std::string &dataOutput)
{
    display->setDataOutputValueToTrue(QString::fromStdString(dataOutput));
}

void frmMain::Form_Unload()
{
    acquisitionThread->post([](AcquisitionSession &s) { s.releasePort(); });
    // With the graph or the about box still open the program goes on; a run left going would
    // keep sending requests on a closed port and stop with an error nobody sees.
    if (state.continuousFlag)
        acquisition->cmdContinuous_Click();
}

void frmMain::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const QKeySequence pressed(key->keyCombination());
        for (const QKeySequence &shortcut : menuShortcuts) {
            if (pressed == shortcut) {
                event->ignore();
                return true;
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace tervalo
