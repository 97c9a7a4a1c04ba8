#pragma once

#include "alarms/alarmrules.h"
#include "common/channelcount.h"

#include <QColor>
#include <QObject>
#include <QString>

#include <array>

class QLabel;

namespace tervalo {

class DesktopNotifier;

// The alarms in the window: the rules watch every reading; a channel in alarm gets a reading box
// in the alarm colour with the reason in its tool tip, the status line names it, the desktop is
// told and, if the user wants, a sound plays. An alarm stays latched, its box coloured, until it
// is acknowledged (a click on the box, or Tools > Acknowledge Alarms), even when the reading has
// come back: a spike at night is still there in the morning.
class AlarmDisplay : public QObject
{
    Q_OBJECT
public:
    AlarmDisplay(const std::array<QLabel *, channelCount> &boxes, QLabel *statusLine,
                 QObject *parent = nullptr);
    ~AlarmDisplay() override;

    // The colour of a reading box in alarm.
    static QColor alarmColour() { return QColor(255, 80, 80); }

    void setRules(const QList<AlarmRule> &rules, double hysteresis, int delay);
    const QList<AlarmRule> &rules() const { return m_monitor.rules(); }
    double hysteresis() const { return m_hysteresis; }
    int delay() const { return m_delay; }
    void setSound(bool on) { m_sound = on; }
    bool sound() const { return m_sound; }
    // The rules and switches as stored; loaded at the start, stored when the user applies them.
    void loadSettings();
    void saveSettings() const;

    void readingTaken(const tervalo::CardReading &reading);
    // Takes the latch off every channel (or one); a channel whose condition still holds stays
    // in alarm.
    void acknowledge(int channel = -1);

    bool inAlarm(int channel) const { return m_active[size_t(channel)] > 0 || m_latched[size_t(channel)]; }
    int raisedCount() const;

signals:
    // For the menu: whether there is anything to acknowledge.
    void latchedChanged(bool any);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void show(int channel);

    std::array<QLabel *, channelCount> m_boxes;
    QLabel *m_statusLine;
    AlarmMonitor m_monitor;
    double m_hysteresis = 0;
    int m_delay = 1;
    bool m_sound = false;
    DesktopNotifier *m_notifier;
    std::array<int, channelCount> m_active{};     // rules raised on the channel now
    std::array<bool, channelCount> m_latched{};   // raised since the last acknowledgement
    std::array<QString, channelCount> m_reason{}; // the last alarm raised, for the tool tip
    QString m_lastAlarm;                          // for the status line
};

} // namespace tervalo
