#pragma once

// What the device link tests share: a main window whose handlers record what they pass on to the
// other subsystems, a private settings store and a private folder for card simulators.

#include "acquisition/acquisitioncycle.h"
#include "app/frmmain.h"
#include "device/cardreading.h"
#include "tests/support/sessionview.h"
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
    int stopCalls = 0;  // runs the session ended by itself
    QStringList records; // every reading's record, logged or not
    QList<std::array<qint16, 6>> values; // and what the graph is given of it
};

// A main window with a probe on the acquisition session's signals.
class LinkWindow
{
public:
    LinkWindow()
    {
        window = std::make_unique<tervalo::frmMain>();
        window->state.tempType = QStringLiteral("c");
        // Answers nobody asked for are read as Celsius too.
        window->acquisitionThread->post([](tervalo::AcquisitionSession &s) {
            tervalo::SessionSetup setup = s.setup();
            setup.unit = QStringLiteral("c");
            s.setSetup(setup);
        });
        tervalo::AcquisitionSession *session = window->acquisitionThread->session();
        QObject::connect(session, &tervalo::AcquisitionSession::readingTaken, &m_context,
                         [this](const tervalo::CardReading &reading) {
                             probe.records.append(reading.record);
                             probe.values.append(reading.values());
                         });
        QObject::connect(session, &tervalo::AcquisitionSession::runEnded, &m_context,
                         [this] { ++probe.stopCalls; });
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
    SessionView view() const { return sessionView(*window->acquisitionThread); }
    // A continuous run whose grid never ticks during a test (one an hour), for failures to end.
    void startQuietRun()
    {
        window->cmbSampleRate->setCurrentIndex(8);
        window->acquisition->updateWait();
        window->acquisition->cmdContinuous_Click();
    }
    // One request straight from the session, as a tick sends it: no setup taken from the window.
    void requestData()
    {
        window->acquisitionThread->post([](tervalo::AcquisitionSession &s) { s.requestData(); });
    }

    LinkProbe probe;
    std::unique_ptr<tervalo::frmMain> window;

private:
    QObject m_context;
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
