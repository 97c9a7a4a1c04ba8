#include "alarms/alarmrules.h"

#include "common/cardrules.h"

#include <QRegularExpression>

#include <cmath>

namespace tervalo {

namespace {

QString unitLetterOf(const QString &text)
{
    const QString unit = text.toLower();
    if (unit == QLatin1String("raw"))
        return QStringLiteral("r");
    return unit;
}

QString numberText(double value)
{
    return QString::number(value, 'g', 10);
}

// Degrees Celsius and Fahrenheit convert into each other; raw counts convert into nothing.
std::optional<double> converted(double value, const QString &from, const QString &to)
{
    if (from == to)
        return value;
    if (from == QLatin1String("c") && to == QLatin1String("f"))
        return value * 9.0 / 5.0 + 32.0;
    if (from == QLatin1String("f") && to == QLatin1String("c"))
        return (value - 32.0) * 5.0 / 9.0;
    return std::nullopt;
}

} // namespace

QString AlarmRule::text() const
{
    const QString channelText = QStringLiteral("ch%1").arg(channel + 1);
    if (kind == Kind::Open)
        return channelText + QStringLiteral(":open");
    return channelText + (kind == Kind::Above ? QLatin1Char('>') : QLatin1Char('<')) + numberText(limit) +
           (unit == QLatin1String("r") ? QStringLiteral("raw") : unit.toUpper());
}

std::optional<AlarmRule> parseAlarmRule(const QString &text)
{
    static const QRegularExpression open(QStringLiteral("^\\s*ch([1-6])\\s*:\\s*open\\s*$"),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression limit(
        QStringLiteral("^\\s*ch([1-6])\\s*([<>])\\s*([-+]?\\d+(?:\\.\\d+)?)\\s*(c|f|r|raw)?\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    AlarmRule rule;
    if (const QRegularExpressionMatch match = open.match(text); match.hasMatch()) {
        rule.channel = match.captured(1).toInt() - 1;
        rule.kind = AlarmRule::Kind::Open;
        return rule;
    }
    const QRegularExpressionMatch match = limit.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    rule.channel = match.captured(1).toInt() - 1;
    rule.kind = match.captured(2) == QLatin1String(">") ? AlarmRule::Kind::Above : AlarmRule::Kind::Below;
    rule.limit = match.captured(3).toDouble();
    rule.unit = unitLetterOf(match.captured(4));
    return rule;
}

std::optional<QList<AlarmRule>> parseAlarmRules(const QString &text, QString *badRule)
{
    QList<AlarmRule> rules;
    for (const QString &item : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        if (item.trimmed().isEmpty())
            continue;
        const std::optional<AlarmRule> rule = parseAlarmRule(item);
        if (!rule) {
            if (badRule)
                *badRule = item.trimmed();
            return std::nullopt;
        }
        rules.append(*rule);
    }
    return rules;
}

QString alarmRulesText(const QList<AlarmRule> &rules)
{
    QStringList texts;
    for (const AlarmRule &rule : rules)
        texts << rule.text();
    return texts.join(QLatin1Char(';'));
}

std::optional<double> limitIn(const AlarmRule &rule, const QString &readingUnit)
{
    if (rule.kind == AlarmRule::Kind::Open)
        return 0.0; // an open thermocouple reads as open in every unit
    return converted(rule.limit, rule.unit.isEmpty() ? readingUnit : rule.unit, readingUnit);
}

QString AlarmEvent::description() const
{
    const QString channelText = QStringLiteral("channel %1").arg(what.channel + 1);
    if (what.kind == AlarmRule::Kind::Open)
        return channelText + QStringLiteral(" open");
    const QString unit = what.unit.isEmpty() ? readingUnit : what.unit;
    return QStringLiteral("%1 %2 %3 %4")
        .arg(channelText, what.kind == AlarmRule::Kind::Above ? QStringLiteral("above") : QStringLiteral("below"),
             numberText(what.limit), unitName(unit));
}

void AlarmMonitor::setRules(const QList<AlarmRule> &rules, double hysteresis, int delay)
{
    m_rules = rules;
    m_state = QList<RuleState>(rules.size());
    m_hysteresis = std::max(0.0, hysteresis);
    m_delay = std::max(1, delay);
}

QList<AlarmEvent> AlarmMonitor::evaluate(const CardReading &reading)
{
    QList<AlarmEvent> events;
    if (!reading.ok())
        return events;
    for (qsizetype i = 0; i < m_rules.size(); ++i) {
        const AlarmRule &rule = m_rules[i];
        RuleState &state = m_state[i];
        const ChannelReading &channel = reading.channels[size_t(rule.channel)];
        const std::optional<double> limit = limitIn(rule, reading.unit);
        // A rule that cannot watch this unit, or a channel switched off, says nothing either way.
        if (!limit || channel.state == ChannelState::Disabled)
            continue;
        bool met = false;
        bool clear = false;
        if (rule.kind == AlarmRule::Kind::Open) {
            met = channel.state == ChannelState::Open;
            clear = !met;
        } else {
            if (channel.state != ChannelState::Reading)
                continue; // an open thermocouple's number means nothing
            // The hysteresis is a width in the rule's unit, not a temperature: only the scale
            // converts between degrees.
            const QString ruleUnit = rule.unit.isEmpty() ? reading.unit : rule.unit;
            const double band = ruleUnit == reading.unit               ? m_hysteresis
                                : reading.unit == QLatin1String("f") ? m_hysteresis * 9.0 / 5.0
                                                                     : m_hysteresis * 5.0 / 9.0;
            const double value = channel.number;
            if (rule.kind == AlarmRule::Kind::Above) {
                met = value > *limit;
                clear = value <= *limit - band;
            } else {
                met = value < *limit;
                clear = value >= *limit + band;
            }
        }
        state.streak = met ? state.streak + 1 : 0;
        AlarmEvent event{int(i), rule, true, channel.state == ChannelState::Reading ? channel.number : std::nan(""),
                         reading.unit, reading.when};
        if (!state.raised && met && state.streak >= m_delay) {
            state.raised = true;
            events.append(event);
        } else if (state.raised && clear) {
            state.raised = false;
            event.raised = false;
            events.append(event);
        }
    }
    return events;
}

} // namespace tervalo
