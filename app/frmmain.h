#pragma once

#include "common/windowstate.h"
#include "device/devicelink.h"

#include <QMainWindow>

#include <array>
#include <memory>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace tervalo {

class MSComm;
class SysInfo;

// The main window: it creates the controls under their names and connects each to the handler
// class of its subsystem.
class frmMain : public QMainWindow
{
    Q_OBJECT
public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    void Form_Load();
    void setDeviceLinkHooks(const DeviceLinkHooks &hooks);

    WindowState state;

    QGroupBox *frmChSelect = nullptr;
    std::array<QCheckBox *, 6> chkCh{};
    std::array<QLabel *, 6> lblCh{};
    std::array<QLabel *, 6> lblTemp{};
    QLabel *lblTemperature = nullptr;
    QLabel *lblPortNo = nullptr;
    QComboBox *cmbPort = nullptr;
    QLabel *lblAddress = nullptr;
    QLineEdit *txtAddress = nullptr;
    QLabel *lblAddressDesc = nullptr;
    QPushButton *cmdRead = nullptr;
    QLabel *lblStringDisplay = nullptr;

    MSComm *MSComm1 = nullptr;
    QTimer *tmrTimeout = nullptr;
    SysInfo *sysInfo = nullptr;

    std::unique_ptr<PortManagement> ports;
    std::unique_ptr<ReadingProtocol> protocol;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void connectHandlers();
};

} // namespace tervalo
