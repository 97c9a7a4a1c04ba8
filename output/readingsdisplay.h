#pragma once

#include "common/channelcount.h"
#include "common/windowstate.h"

#include <QObject>
#include <QString>

#include <array>
#include <functional>

class QGroupBox;
class QLabel;
class QRadioButton;

namespace tervalo {

struct CardReading;

struct ReadingsDisplayControls
{
    QGroupBox *frameDataOutputSelect = nullptr;
    QRadioButton *OptRaw = nullptr;
    QRadioButton *OptCelsius = nullptr;
    QRadioButton *OptFahrenheit = nullptr;
    std::array<QLabel *, channelCount> lblCh{};
    std::array<QLabel *, channelCount> lblTemp{};
};

struct ReadingsDisplayHooks
{
    std::function<bool()> graphVisible;
    std::function<void()> initGraph;
};

// The readings panel and the choice of unit. The card answers in the unit named in the request,
// so choosing a unit changes the letter every request carries, the unit labels and the graph's
// axis; nothing is converted here.
class ReadingsDisplay : public QObject
{
    Q_OBJECT
public:
    ReadingsDisplay(WindowState &state, const ReadingsDisplayControls &controls,
                    QObject *parent = nullptr);
    void setHooks(const ReadingsDisplayHooks &hooks) { m_hooks = hooks; }

    void OptRaw_Click();
    void OptCelsius_Click();
    void OptFahrenheit_Click();
    void updateTempType();
    void clearTemps();
    void setDataOutputValueToTrue(const QString &dataOutput);

    // The unit name of the selected option, "Raw" when none is selected.
    QString unitName() const;

    // A reading on the six labels: each channel's reading, "Open" or "Disabled", or "Err" on all
    // six when the answer failed.
    void showReading(const tervalo::CardReading &reading);
    // The readings on show are older than the last request: it failed or timed out.
    void readingsOutdated();
    // True while the labels show values from an answer older than the last request.
    bool readingsStale() const { return m_stale; }

private:
    void selectUnit(const QString &letter);
    void markReadings(bool stale);

    WindowState &m_state;
    ReadingsDisplayControls m_controls;
    ReadingsDisplayHooks m_hooks;
    bool m_stale = false;
};

} // namespace tervalo
