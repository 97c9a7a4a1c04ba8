#pragma once

#include "acquisition/acquisitionsession.h"
#include "common/windowstate.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tervalo {

// The main window's controls that the acquisition cycle works on. The window creates them; the
// cycle only uses them.
struct AcquisitionControls
{
    QPushButton *cmdRead = nullptr;
    QPushButton *cmdContinuous = nullptr;
    QAction *mnuContinuous = nullptr;
    // Editable before the cycle is made, so that its focus watch covers the edit field too.
    // Filled by fillRateList.
    QComboBox *cmbSampleRate = nullptr;
    QLabel *lblStringDisplay = nullptr;
    // What each request carries: the address box and the channel boxes, read when a reading or
    // a run starts (they are locked while a run lasts).
    QLineEdit *txtAddress = nullptr;
    std::array<QCheckBox *, channelCount> chkCh{};
};

// What the acquisition cycle calls in the other subsystems of the window. Unset hooks do nothing.
struct AcquisitionHooks
{
    std::function<void(bool)> setControlState; // false locks the settings while a run lasts
};

// When readings are taken, the window's side: once on Read Data, or continuously at the rate
// picked in the rate list. The acquisition session, on its own thread, does the asking; this
// class tells it what the user chose, through its signals, and follows the runs it ends.
class AcquisitionCycle : public QObject
{
    Q_OBJECT
public:
    // Connects Read Data, Continuous (button and menu item) and the rate list's focus loss.
    AcquisitionCycle(WindowState &state, const AcquisitionControls &controls,
                     QObject *parent = nullptr);
    ~AcquisitionCycle() override;

    void setHooks(const AcquisitionHooks &hooks) { m_hooks = hooks; }

    // Load step: the nine rates, the remembered list position (the first entry when the
    // position is not in the list) and its interval on the timer.
    void fillRateList(int savedSampleRateIndex);

    void cmdRead_Click();
    // Starts or stops continuous mode. Other subsystems call it to stop a run that fails.
    void cmdContinuous_Click();
    void mnuContinuous_Click();
    void updateWait();
    void cmbSampleRate_LostFocus();
    // The session ended run runId by itself (a failure, or its limits): the window goes idle.
    void sessionEndedRun(int runId);

signals:
    void setupChosen(const tervalo::SessionSetup &setup);
    void readRequested();
    void runStarted(int runId);
    void runStopped();
    void intervalChosen(int intervalMs);

private:
    void chooseSetup();

    void applyRate(bool retry);
    void takeTypedRate();

    WindowState &m_state;
    AcquisitionControls m_controls;
    AcquisitionHooks m_hooks;
    int m_runId = 0;
};

} // namespace tervalo
