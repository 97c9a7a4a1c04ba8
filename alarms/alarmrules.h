#pragma once

#include "device/cardreading.h"

#include <QList>
#include <QString>

#include <array>
#include <optional>

namespace tervalo {

// One alarm rule: a channel's reading above a limit, below a limit, or its thermocouple open.
// Limits are in a unit of their own: a rule in Celsius watches Fahrenheit readings too (the
// limit converted), and the other way round; a rule in raw counts watches only raw readings.
struct AlarmRule
{
    enum class Kind { Above, Below, Open };

    int channel = 0; // 0 to 5 for channels 1 to 6
    Kind kind = Kind::Above;
    double limit = 0; // for Above and Below
    QString unit;     // "c", "f" or "r"; empty: the unit of the readings, whatever it is

    // "ch3>250C", "ch1<-10", "ch6:open": the form the command line takes and the settings keep.
    QString text() const;
    bool operator==(const AlarmRule &) const = default;
};

// "ch3>250", "ch3 > 250.5 C", "ch1<-10F", "ch2<100raw", "ch6:open"; case does not matter.
// nullopt for anything else.
std::optional<AlarmRule> parseAlarmRule(const QString &text);

// Rules as the settings keep them, separated by ";". Returns nullopt when any of them is
// unreadable, with its text in badRule.
std::optional<QList<AlarmRule>> parseAlarmRules(const QString &text, QString *badRule = nullptr);
QString alarmRulesText(const QList<AlarmRule> &rules);

// The rule's limit in readings of readingUnit ("c", "f", "r"); nullopt when the rule cannot
// watch such readings (a raw rule over degrees, a degree rule over raw counts).
std::optional<double> limitIn(const AlarmRule &rule, const QString &readingUnit);

// A rule raised or cleared.
struct AlarmEvent
{
    int rule = 0; // index in the monitor's rules
    AlarmRule what;
    bool raised = true;
    double value = 0; // the reading that did it, in the reading's unit (NaN for an open one)
    QString readingUnit;
    QDateTime when;

    // "channel 3 above 250 C" ("channel 6 open")
    QString description() const;
};

// Watches the readings against the rules. A condition must hold for `delay` readings in a row
// to raise its alarm (noise does not flap it), and a raised Above or Below alarm clears only
// once the reading is back past the limit by the hysteresis (in the rule's unit). An open
// alarm clears at the first reading that is not open. A reading that failed as a whole (an
// undecodable answer) changes nothing.
class AlarmMonitor
{
public:
    void setRules(const QList<AlarmRule> &rules, double hysteresis = 0, int delay = 1);
    const QList<AlarmRule> &rules() const { return m_rules; }

    // The alarms raised and cleared by this reading, in rule order.
    QList<AlarmEvent> evaluate(const CardReading &reading);

    bool raised(int rule) const { return m_state.value(rule).raised; }
    // Whether the rule can watch readings in this unit (see limitIn).
    static bool applies(const AlarmRule &rule, const QString &readingUnit)
    {
        return limitIn(rule, readingUnit).has_value();
    }

private:
    struct RuleState
    {
        bool raised = false;
        int streak = 0; // readings in a row that met the condition
    };
    QList<AlarmRule> m_rules;
    QList<RuleState> m_state;
    double m_hysteresis = 0;
    int m_delay = 1;
};

} // namespace tervalo
