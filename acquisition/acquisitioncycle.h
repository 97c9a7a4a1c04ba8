#pragma once

#include "common/windowstate.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>

class QAction;
class QComboBox;
class QLabel;
class QPushButton;

namespace tervalo {

class HiResTimer;

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
};

// What the acquisition cycle calls in the other subsystems of the window. Unset hooks do nothing.
struct AcquisitionHooks
{
    std::function<void()> requestData;         // one request to the card
    std::function<void(bool)> setControlState; // false locks the settings while a run lasts
};

// When readings are taken: once on Read Data, or continuously, paced by the "commTimer" timer at
// the rate picked in the rate list.
class AcquisitionCycle : public QObject
{
    Q_OBJECT
public:
    // Connects Read Data, Continuous (button and menu item) and the rate list's focus loss.
    AcquisitionCycle(WindowState &state, const AcquisitionControls &controls,
                     QObject *parent = nullptr);
    ~AcquisitionCycle() override;

    void setHooks(const AcquisitionHooks &hooks) { m_hooks = hooks; }

    HiResTimer *hiResTimer() const { return m_hiResTimer; }

    // Load step: the timer "commTimer", 250 ms, not running until continuous mode starts.
    void createTimer();
    // Load step: the nine rates, the remembered list position (the first entry when the
    // position is not in the list) and its interval on the timer.
    void fillRateList(int savedSampleRateIndex);

    void cmdRead_Click();
    // Starts or stops continuous mode. Other subsystems call it to stop a run that fails.
    void cmdContinuous_Click();
    void mnuContinuous_Click();
    void hiResTimer_Timer(const QString &sKey);
    void updateWait();
    void cmbSampleRate_LostFocus();

private:
    void applyRate(bool retry);
    void takeTypedRate();

    WindowState &m_state;
    AcquisitionControls m_controls;
    AcquisitionHooks m_hooks;
    HiResTimer *m_hiResTimer = nullptr;
};

// Asks for the scheduling priorities the program runs at: the window thread's priority relative
// to its process, and the process' priority class, in the values of the Windows scheme. The
// result is never reported; the program runs at whatever the system grants.
void SetPriority(int32_t lThreadPriority, int32_t lClassPriority);

} // namespace tervalo
