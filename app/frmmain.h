#pragma once

#include "common/channelcount.h"
#include "common/windowstate.h"
#include "device/portmanagement.h"
#include "settings/startupsettings.h"

#include <QMainWindow>

#include <array>
#include <functional>
#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QTimer;

namespace tervalo {

class AcquisitionCycle;
class AlarmDisplay;
class frmAlarms;
class DataLog;
class GraphPlot;
class HistoryKeeper;
class ReadingsDisplay;
class SessionThread;
class SysInfo;

// The main window. It creates the controls under their names at their places, runs the start-up
// in its fixed order and switches the settings controls between idle and running. What the
// controls do lives in the handler class of each subsystem; this class only connects them.
class frmMain : public QMainWindow, public RegistryManagement::SettingsWindow
{
    Q_OBJECT
public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    // Loads the window (once) and shows it without making it modal.
    void Show();

    void Form_Load();
    void setControlState(bool state);
    void cmdExit_Click();
    void mnuExit_Click();
    void mnuKeepRunning_Click();
    void mnuRescanPorts_Click();
    void mnuAlarms_Click();
    void mnuAcknowledgeAlarms_Click();

    // How Exit ends the process; tests replace it.
    std::function<void()> endProgram;

    WindowState state;

    // Channels and link settings
    QGroupBox *frmChSelect = nullptr;
    QLabel *lblTemperature = nullptr;
    std::array<QCheckBox *, channelCount> chkCh{};
    std::array<QLabel *, channelCount> lblCh{};
    std::array<QLabel *, channelCount> lblTemp{};
    QLabel *lblPortNo = nullptr;
    QComboBox *cmbPort = nullptr;
    QLabel *lblAddress = nullptr;
    QLineEdit *txtAddress = nullptr;
    QLabel *lblAddressDesc = nullptr;
    QLabel *lblUpdateTime = nullptr;
    QComboBox *cmbSampleRate = nullptr;
    QGroupBox *frameDataOutputSelect = nullptr;
    QRadioButton *OptRaw = nullptr;
    QRadioButton *OptCelsius = nullptr;
    QRadioButton *OptFahrenheit = nullptr;
    // Actions and status
    QLabel *Picture1 = nullptr;
    QCheckBox *chkSave = nullptr;
    QPushButton *cmdGraph = nullptr;
    QPushButton *cmdRead = nullptr;
    QPushButton *cmdContinuous = nullptr;
    QPushButton *cmdExit = nullptr;
    QLabel *lblStringDisplay = nullptr;
    // Menus
    QMenu *mnuFile = nullptr;
    QAction *mnuExit = nullptr;
    QMenu *mnuTools = nullptr;
    QAction *mnuContinuous = nullptr;
    QAction *mnuKeepRunning = nullptr;
    QAction *mnuSave = nullptr;
    QAction *mnuRescanPorts = nullptr;
    QAction *mnuAlarms = nullptr;
    QAction *mnuAcknowledgeAlarms = nullptr;
    QMenu *mnuView = nullptr;
    QAction *mnuGraph = nullptr;
    QAction *mnuHistory = nullptr;
    QMenu *mnuHelp = nullptr;
    QAction *mnuAbout = nullptr;
    QAction *mnuGetHelp = nullptr;
    // Components without a face
    SysInfo *sysInfo = nullptr;
    // The acquisition session on its own thread, with the serial control MSComm1, the answer's
    // time-out tmrTimeout and the sampling timer "commTimer".
    std::unique_ptr<SessionThread> acquisitionThread;

    // The subsystems' handlers
    std::unique_ptr<PortManagement> ports;
    std::unique_ptr<AcquisitionCycle> acquisition;
    std::unique_ptr<ReadingsDisplay> display;
    std::unique_ptr<DataLog> dataLog;
    std::unique_ptr<GraphPlot> graph;
    std::unique_ptr<HistoryKeeper> history;
    std::unique_ptr<AlarmDisplay> alarms;
    frmAlarms *alarmsDialog = nullptr; // made when first opened

    // What the stored settings put into the window at start-up.
    void setChannelValue(int index, int16_t value) override;
    void setAddressText(const std::string &text) override;
    void setDataOutputValueToTrue(const std::string &dataOutput) override;

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void createControls();
    void createMenus();
    void setTabOrder();
    void connectHandlers();
    void Form_Unload();
    void tellKeepRunning();

    bool m_loaded = false;
};

} // namespace tervalo
