// The alarm rules as the window and tervalo-log both use them: how a rule is written and read,
// and which readings raise and clear it (limits, hysteresis, delay, units, open thermocouples).

#include "alarms/alarmrules.h"

#include <QTest>

#include <cmath>

using namespace tervalo;

namespace {

constexpr double open = std::numeric_limits<double>::quiet_NaN();

// A reading of channel 1 (and, for the open rows, channel 6) in a unit: NaN reads as open.
CardReading reading(const QString &unit, double value, int channel = 0)
{
    CardReading r;
    r.unit = unit;
    for (ChannelReading &c : r.channels)
        c.number = 20;
    ChannelReading &c = r.channels[size_t(channel)];
    c.state = std::isnan(value) ? ChannelState::Open : ChannelState::Reading;
    c.number = value;
    return r;
}

} // namespace

class AlarmRulesTest : public QObject
{
    Q_OBJECT
private slots:
    void ruleText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("read"); // as the rule writes itself; empty: refused
        QTest::newRow("above, Celsius") << "ch3>250C" << "ch3>250C";
        QTest::newRow("blanks, capitals, a fraction") << " CH3 > 250.5 c " << "ch3>250.5C";
        QTest::newRow("below, the readings' unit") << "ch1<-10" << "ch1<-10";
        QTest::newRow("raw counts") << "ch2<100raw" << "ch2<100raw";
        QTest::newRow("raw counts, short") << "ch2<100r" << "ch2<100raw";
        QTest::newRow("Fahrenheit") << "ch4>482F" << "ch4>482F";
        QTest::newRow("open") << "ch6:open" << "ch6:open";
        QTest::newRow("channel 7") << "ch7>1" << "";
        QTest::newRow("channel 0") << "ch0:open" << "";
        QTest::newRow("no limit") << "ch3>" << "";
        QTest::newRow("at or above") << "ch3>=5" << "";
        QTest::newRow("kelvin") << "ch3>5K" << "";
        QTest::newRow("a word") << "ch3>hot" << "";
    }
    void ruleText()
    {
        QFETCH(QString, text);
        QFETCH(QString, read);
        const std::optional<AlarmRule> rule = parseAlarmRule(text);
        QCOMPARE(rule ? rule->text() : QString(), read);
        if (rule)
            QCOMPARE(parseAlarmRule(rule->text()), rule); // what is stored reads back the same
    }

    void storedRules()
    {
        QString bad;
        const auto rules = parseAlarmRules(QStringLiteral("ch1>100C;ch6:open;"), &bad);
        QVERIFY(rules);
        QCOMPARE(alarmRulesText(*rules), QStringLiteral("ch1>100C;ch6:open"));
        QVERIFY(!parseAlarmRules(QStringLiteral("ch1>100C;ch9:open"), &bad));
        QCOMPARE(bad, QStringLiteral("ch9:open"));
    }

    // Each row feeds one rule a run of readings and lists what happened: "+2" the alarm was
    // raised by the third reading, "-4" cleared by the fifth.
    void evaluation_data()
    {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<double>("hysteresis");
        QTest::addColumn<int>("delay");
        QTest::addColumn<QString>("unit"); // of the readings
        QTest::addColumn<QList<double>>("values");
        QTest::addColumn<QString>("events");
        using L = QList<double>;
        QTest::newRow("above, cleared at the limit") << "ch1>100C" << 0.0 << 1 << "c" << L{99, 101, 100.5, 100} << "+1 -3";
        QTest::newRow("at the limit is not above") << "ch1>100C" << 0.0 << 1 << "c" << L{100, 100} << "";
        QTest::newRow("hysteresis holds it") << "ch1>100C" << 2.0 << 1 << "c" << L{101, 99, 98.5, 98} << "+0 -3";
        QTest::newRow("delay: three in a row") << "ch1>100C" << 0.0 << 3 << "c" << L{101, 101, 99, 101, 101, 101} << "+5";
        QTest::newRow("below") << "ch1<-10" << 0.0 << 1 << "c" << L{-9, -11, -10} << "+1 -2";
        QTest::newRow("below with hysteresis") << "ch1<-10" << 1.0 << 1 << "c" << L{-11, -9.5, -9} << "+0 -2";
        QTest::newRow("a Celsius rule over Fahrenheit") << "ch1>100C" << 0.0 << 1 << "f" << L{211, 213} << "+1";
        QTest::newRow("a Fahrenheit rule over Celsius") << "ch1>212F" << 0.0 << 1 << "c" << L{99.9, 100.1} << "+1";
        // 5 degrees Celsius of hysteresis are 9 degrees Fahrenheit: 212 - 9 = 203.
        QTest::newRow("hysteresis converts as a width") << "ch1>100C" << 5.0 << 1 << "f" << L{213, 204, 203} << "+0 -2";
        QTest::newRow("a rule without unit takes the readings'") << "ch1>500" << 0.0 << 1 << "r" << L{501} << "+0";
        QTest::newRow("raw rule over raw readings") << "ch1>500raw" << 0.0 << 1 << "r" << L{499, 501} << "+1";
        QTest::newRow("raw rule over degrees: inactive") << "ch1>500raw" << 0.0 << 1 << "c" << L{600, 700} << "";
        QTest::newRow("degree rule over raw counts: inactive") << "ch1>100C" << 0.0 << 1 << "r" << L{3000} << "";
        QTest::newRow("open") << "ch1:open" << 0.0 << 1 << "c" << L{20, open, open, 21} << "+1 -3";
        QTest::newRow("open in raw counts too") << "ch1:open" << 0.0 << 1 << "r" << L{open} << "+0";
        QTest::newRow("open, delay 2") << "ch1:open" << 0.0 << 2 << "c" << L{open, 20, open, open} << "+3";
        QTest::newRow("an open thermocouple's number means nothing") << "ch1>100C" << 0.0 << 1 << "c" << L{open, 20} << "";
        QTest::newRow("open keeps an above alarm up") << "ch1>100C" << 0.0 << 1 << "c" << L{101, open, 50} << "+0 -2";
    }
    void evaluation()
    {
        QFETCH(QString, rule);
        QFETCH(double, hysteresis);
        QFETCH(int, delay);
        QFETCH(QString, unit);
        QFETCH(QList<double>, values);
        QFETCH(QString, events);
        AlarmMonitor monitor;
        monitor.setRules({*parseAlarmRule(rule)}, hysteresis, delay);
        QStringList seen;
        for (int i = 0; i < values.size(); ++i) {
            for (const AlarmEvent &event : monitor.evaluate(reading(unit, values[i])))
                seen << QStringLiteral("%1%2").arg(event.raised ? '+' : '-').arg(i);
        }
        QCOMPARE(seen.join(QLatin1Char(' ')), events);
    }

    // Neither a channel switched off nor an answer that could not be read says anything.
    void readingsThatSayNothing()
    {
        AlarmMonitor monitor;
        monitor.setRules({*parseAlarmRule(QStringLiteral("ch1:open"))});
        CardReading off = reading(QStringLiteral("c"), open);
        off.channels[0].state = ChannelState::Disabled;
        QVERIFY(monitor.evaluate(off).isEmpty());
        CardReading failed = reading(QStringLiteral("c"), open);
        failed.failedChannel = 0;
        QVERIFY(monitor.evaluate(failed).isEmpty());
        const QList<AlarmEvent> raised = monitor.evaluate(reading(QStringLiteral("c"), open));
        QCOMPARE(raised.size(), 1);
        QCOMPARE(raised.first().description(), QStringLiteral("channel 1 open"));
        monitor.setRules({*parseAlarmRule(QStringLiteral("ch1>250.5C"))});
        QCOMPARE(monitor.evaluate(reading(QStringLiteral("f"), 500)).first().description(),
                 QStringLiteral("channel 1 above 250.5 Celsius"));
    }
};

QTEST_GUILESS_MAIN(AlarmRulesTest)
#include "alarmrules_test.moc"
