#pragma once

// What the device link tests share: a main window whose handlers record what they pass on to the
// other subsystems, a private settings store and a private folder for card simulators.

#include "app/frmmain.h"
#include "common/branding.h"
#include "device/sysinfo.h"
#include "device/mscomm.h"
#include "device/portnumbering.h"
#include "settings/registrymanagement.h"
#include "tests/support/simulatorprocess.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using tervalo::SimulatorProcess;

struct LinkProbe
{
    int stopCalls = 0;
    int graphUpdates = 0;
    bool graphVisible = false;
    QStringList records;
    QStringList order; // "graph" and "log", as the hooks were called
};

// A main window with its device link rewired to record the hooks into a probe.
class LinkWindow
{
public:
    LinkWindow()
    {
        window = std::make_unique<tervalo::frmMain>();
        window->state.tempType = QStringLiteral("c");
        tervalo::DeviceLinkHooks hooks;
        hooks.cmdContinuous_Click = [this] {
            ++probe.stopCalls;
            window->state.continuousFlag = !window->state.continuousFlag;
        };
        hooks.graphVisible = [this] { return probe.graphVisible; };
        hooks.updateGraph = [this] {
            ++probe.graphUpdates;
            probe.order << QStringLiteral("graph");
        };
        hooks.saveData = [this](const QString &record) {
            probe.records.append(record);
            probe.order << QStringLiteral("log");
        };
        window->setDeviceLinkHooks(hooks);
    }

    tervalo::frmMain *operator->() const { return window.get(); }
    QString status() const { return window->lblStringDisplay->text(); }
    QStringList labels() const
    {
        QStringList texts;
        for (QLabel *label : window->lblCh)
            texts << label->text();
        return texts;
    }

    LinkProbe probe;
    std::unique_ptr<tervalo::frmMain> window;
};

// Every test program keeps its settings and simulators to itself.
inline void isolateStoreAndPorts()
{
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    SimulatorProcess::isolateRuntimeFolder();
    tervalo::setSystemSerialPortsListed(false);
}

inline RegistryManagement::RegValue storedSetting(const char *name)
{
    return RegistryManagement::readKeyValue(RegistryManagement::SETTINGS_KEY, name);
}

inline const QString defaultStatus = tervalo::defaultStatusText();
