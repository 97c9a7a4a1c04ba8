#include "output/alarmdisplay.h"

#include "common/logrecord.h"
#include "output/desktopnotifier.h"
#include "settings/registrymanagement.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QPalette>

#include <cmath>

namespace tervalo {

AlarmDisplay::AlarmDisplay(const std::array<QLabel *, channelCount> &boxes, QLabel *statusLine,
                           QObject *parent)
    : QObject(parent), m_boxes(boxes), m_statusLine(statusLine), m_notifier(new DesktopNotifier(this))
{
    for (QLabel *box : m_boxes)
        box->installEventFilter(this);
}

AlarmDisplay::~AlarmDisplay() = default;

void AlarmDisplay::setRules(const QList<AlarmRule> &rules, double hysteresis, int delay)
{
    m_hysteresis = hysteresis;
    m_delay = delay;
    // New rules start from nothing raised; what is latched stays until acknowledged.
    m_monitor.setRules(rules, hysteresis, delay);
    m_active.fill(0);
    for (int i = 0; i < channelCount; ++i)
        show(i);
}

void AlarmDisplay::loadSettings()
{
    using namespace RegistryManagement;
    const auto text = [](const char *name) {
        const RegValue value = readKeyValue(SETTINGS_KEY, name);
        return value.isEmpty() ? QString() : QString::fromStdString(value.asText());
    };
    // A rule the store holds that cannot be read is left out rather than taking the rest with it.
    QList<AlarmRule> rules;
    for (const QString &item : text("Alarm Rules").split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (const std::optional<AlarmRule> rule = parseAlarmRule(item))
            rules.append(*rule);
    }
    bool ok = false;
    const double hysteresis = text("Alarm Hysteresis").trimmed().toDouble(&ok);
    const int delay = text("Alarm Delay").trimmed().toInt();
    setRules(rules, ok && hysteresis >= 0 ? hysteresis : 0, delay >= 1 ? delay : 1);
    m_sound = text("Alarm Sound").trimmed() == QLatin1String("1");
}

void AlarmDisplay::saveSettings() const
{
    using namespace RegistryManagement;
    saveTextSetting("Alarm Rules", alarmRulesText(rules()).toStdString());
    saveTextSetting("Alarm Hysteresis", QString::number(m_hysteresis, 'g', 10).toStdString());
    saveNumberSetting("Alarm Delay", int16_t(std::min(m_delay, 32767)));
    saveNumberSetting("Alarm Sound", m_sound ? 1 : 0);
}

void AlarmDisplay::readingTaken(const CardReading &reading)
{
    const QList<AlarmEvent> events = m_monitor.evaluate(reading);
    // The first alarm each channel raises with this reading; the rest of the work is done once
    // a channel, not once a rule, so that many rules cost the reading little.
    std::array<const AlarmEvent *, channelCount> raisedNow{};
    for (const AlarmEvent &event : events) {
        const auto channel = size_t(event.what.channel);
        m_active[channel] += event.raised ? 1 : -1;
        if (event.raised && !raisedNow[channel])
            raisedNow[channel] = &event;
    }
    bool raised = false;
    for (int i = 0; i < channelCount; ++i) {
        const AlarmEvent *event = raisedNow[size_t(i)];
        if (!event)
            continue;
        raised = true;
        const bool wasLatched = m_latched[size_t(i)];
        m_latched[size_t(i)] = true;
        const QString value = std::isnan(event->value) ? QStringLiteral("open")
                                                       : QString::number(event->value, 'g', 6);
        m_reason[size_t(i)] = QStringLiteral("Alarm: %1 since %2 (reading %3)")
                                  .arg(event->description(),
                                       logDateTimeText(event->when, QLatin1Char(' ')), value);
        m_lastAlarm = QStringLiteral("Alarm: %1").arg(event->description());
        m_notifier->notify(QStringLiteral("channel %1").arg(i + 1), QStringLiteral("Tervalo alarm"),
                           m_reason[size_t(i)]);
        if (!wasLatched)
            emit latchedChanged(true);
    }
    if (raised && m_sound)
        QApplication::beep();
    // Every good answer puts the default text back on the status line; while an alarm stands
    // the line keeps naming the last one raised.
    if (!m_lastAlarm.isEmpty() && raisedCount() > 0)
        m_statusLine->setText(m_lastAlarm);
    // The reading's own tool tip was just written for this answer; the reason goes under it.
    for (int i = 0; i < channelCount; ++i)
        show(i);
}

void AlarmDisplay::acknowledge(int channel)
{
    for (int i = 0; i < channelCount; ++i) {
        if (channel < 0 || channel == i)
            m_latched[size_t(i)] = false;
        show(i);
    }
    emit latchedChanged(raisedCount() > 0);
}

int AlarmDisplay::raisedCount() const
{
    int count = 0;
    for (int i = 0; i < channelCount; ++i)
        count += inAlarm(i);
    return count;
}

void AlarmDisplay::show(int channel)
{
    QLabel *box = m_boxes[size_t(channel)];
    const bool alarm = inAlarm(channel);
    // Only the background changes: the text colour is the stale marking's.
    QPalette palette = box->palette();
    const QColor background = alarm ? alarmColour() : QColor(Qt::white);
    if (palette.color(QPalette::Window) != background) {
        palette.setColor(QPalette::Window, background);
        box->setPalette(palette);
    }
    QString tip = box->toolTip().section(QStringLiteral("\nAlarm: "), 0, 0);
    if (alarm && !m_reason[size_t(channel)].isEmpty())
        tip += QLatin1Char('\n') + m_reason[size_t(channel)] +
               (m_active[size_t(channel)] > 0 ? QString() : QStringLiteral(", back since; click to acknowledge"));
    box->setToolTip(tip);
}

bool AlarmDisplay::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        for (int i = 0; i < channelCount; ++i) {
            if (watched == m_boxes[size_t(i)] && m_latched[size_t(i)])
                acknowledge(i);
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace tervalo
