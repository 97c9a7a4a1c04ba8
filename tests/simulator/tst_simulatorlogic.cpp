// What the simulated card puts on the wire, checked without a pseudo-terminal: the readings'
// fixed width and rounding, request recognition, the temperatures behind the readings, and which
// cards the options and commands name.

#include "tools/cardcontrol.h"
#include "tools/cardformat.h"
#include "tools/requestparser.h"
#include "tools/temperaturemodel.h"

#include <QTest>

#include <algorithm>
#include <cmath>

using namespace tervalo::sim;

Q_DECLARE_METATYPE(tervalo::sim::Unit)

namespace {

char letterOf(Unit unit)
{
    switch (unit) {
    case Unit::Raw:
        return 'r';
    case Unit::Celsius:
        return 'c';
    case Unit::Fahrenheit:
        return 'f';
    }
    return '?';
}

} // namespace

class SimulatorLogicTest : public QObject
{
    Q_OBJECT

private slots:
    void readingsKeepTheirWidth_data();
    void readingsKeepTheirWidth();
    void readingExamples_data();
    void readingExamples();
    void requestsAreFoundInTheStream_data();
    void requestsAreFoundInTheStream();
    void temperaturesDriftPlausibly();
    void addressListsAreRead_data();
    void addressListsAreRead();
    void commandsForOneCard_data();
    void commandsForOneCard();
};

void SimulatorLogicTest::readingsKeepTheirWidth_data()
{
    QTest::addColumn<Unit>("unit");
    QTest::newRow("raw") << Unit::Raw;
    QTest::newRow("celsius") << Unit::Celsius;
    QTest::newRow("fahrenheit") << Unit::Fahrenheit;
}

// Sweeps far past both ends of the card's range: every reading must be exactly four characters,
// blanks only in front, read back as the number it stands for, and keep its decimal wherever
// one fits, since the program shows and logs the text as it comes.
void SimulatorLogicTest::readingsKeepTheirWidth()
{
    QFETCH(Unit, unit);
    int previousCounts = -1;
    for (int step = -40000; step <= 160000; step += 7) {
        const double celsius = step / 100.0;
        const QByteArray text = formatReading(celsius, unit);
        QVERIFY2(
            text.size() == readingWidth,
            qPrintable(
                QStringLiteral("%1 °C gives \"%2\"").arg(celsius).arg(QString::fromLatin1(text))));
        const QByteArray number = text.trimmed();
        QVERIFY2(text.endsWith(number) && !number.contains(' '), text.constData());
        bool ok = false;
        const double value = number.toDouble(&ok);
        QVERIFY2(ok, text.constData());

        if (unit == Unit::Raw) {
            QVERIFY2(!number.contains('.') && value >= 0 && value <= rawFullScale,
                     text.constData());
            QVERIFY2(value >= previousCounts,
                     qPrintable(QStringLiteral("counts fall at %1 °C").arg(celsius)));
            if (celsius <= rawLowCelsius)
                QCOMPARE(value, 0.0);
            if (celsius >= rawHighCelsius)
                QCOMPARE(value, double(rawFullScale));
            previousCounts = int(value);
            continue;
        }

        const double exact = unit == Unit::Fahrenheit ? celsius * 1.8 + 32.0 : celsius;
        const bool decimal = number.contains('.');
        const double tolerance = (decimal ? 0.05 : 0.5) + 1e-9;
        if (exact < -999.5)
            QCOMPARE(value, -999.0);
        else if (exact > 9999.5)
            QCOMPARE(value, 9999.0);
        else
            QVERIFY2(
                std::abs(value - exact) <= tolerance,
                qPrintable(
                    QStringLiteral("%1 reads \"%2\"").arg(exact).arg(QString::fromLatin1(text))));
        if (exact > -9.9 && exact < 99.9)
            QVERIFY2(decimal, qPrintable(QStringLiteral("%1 lost its decimal: \"%2\"")
                                             .arg(exact)
                                             .arg(QString::fromLatin1(text))));
    }
}

void SimulatorLogicTest::readingExamples_data()
{
    QTest::addColumn<double>("celsius");
    QTest::addColumn<Unit>("unit");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("room") << 23.44 << Unit::Celsius << QByteArray("23.4");
    QTest::newRow("small, padded") << 5.2 << Unit::Celsius << QByteArray(" 5.2");
    QTest::newRow("small negative") << -5.2 << Unit::Celsius << QByteArray("-5.2");
    QTest::newRow("just below zero, no minus") << -0.04 << Unit::Celsius << QByteArray(" 0.0");
    QTest::newRow("rounds up out of the decimal") << 99.96 << Unit::Celsius << QByteArray(" 100");
    QTest::newRow("last decimal") << 99.94 << Unit::Celsius << QByteArray("99.9");
    QTest::newRow("negative rounds out of the decimal")
        << -9.96 << Unit::Celsius << QByteArray("-010");
    QTest::newRow("freezer") << -18.0 << Unit::Celsius << QByteArray("-018");
    QTest::newRow("three digits") << 105.0 << Unit::Celsius << QByteArray(" 105");
    QTest::newRow("four digits") << 1023.0 << Unit::Celsius << QByteArray("1023");
    QTest::newRow("deep negative") << -123.4 << Unit::Celsius << QByteArray("-123");
    QTest::newRow("too hot saturates") << 20000.0 << Unit::Celsius << QByteArray("9999");
    QTest::newRow("too cold saturates") << -5000.0 << Unit::Celsius << QByteArray("-999");
    QTest::newRow("room in F") << 23.4 << Unit::Fahrenheit << QByteArray("74.1");
    QTest::newRow("boiling in F") << 100.0 << Unit::Fahrenheit << QByteArray(" 212");
    QTest::newRow("minus forty in F") << -40.0 << Unit::Fahrenheit << QByteArray("-040");
    QTest::newRow("raw bottom") << rawLowCelsius << Unit::Raw << QByteArray("   0");
    QTest::newRow("raw middle") << (rawLowCelsius + rawHighCelsius) / 2 << Unit::Raw
                                << QByteArray("2048");
    QTest::newRow("raw top") << rawHighCelsius << Unit::Raw << QByteArray("4095");
}

void SimulatorLogicTest::readingExamples()
{
    QFETCH(double, celsius);
    QFETCH(Unit, unit);
    QFETCH(QByteArray, expected);
    QCOMPARE(formatReading(celsius, unit), expected);
}

void SimulatorLogicTest::requestsAreFoundInTheStream_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("one") << QByteArray("t3ca") << QStringList{"t3ca"};
    QTest::newRow("back to back") << QByteArray("t0rat7fa") << QStringList{"t0ra", "t7fa"};
    QTest::newRow("no unit, then a good one") << QByteArray("t0at1ca") << QStringList{"t1ca"};
    QTest::newRow("restart on t") << QByteArray("tt1ct2fa") << QStringList{"t2fa"};
    QTest::newRow("noise around") << QByteArray("xy\xfft5fa\r\n") << QStringList{"t5fa"};
    QTest::newRow("doubled end") << QByteArray("t1caa") << QStringList{"t1ca"};
    QTest::newRow("address 8") << QByteArray("t8ca") << QStringList{};
    QTest::newRow("unknown unit") << QByteArray("t1xa") << QStringList{};
    QTest::newRow("wrong end") << QByteArray("t1cb") << QStringList{};
    QTest::newRow("capital T") << QByteArray("T1ca") << QStringList{};
    QTest::newRow("nul inside") << QByteArray("t1c\0a", 5) << QStringList{};
    QTest::newRow("cut short") << QByteArray("t1c") << QStringList{};
}

void SimulatorLogicTest::requestsAreFoundInTheStream()
{
    QFETCH(QByteArray, stream);
    QFETCH(QStringList, expected);

    RequestParser parser;
    QStringList found;
    for (char c : stream) {
        if (const std::optional<Request> request = parser.feed(c)) {
            QCOMPARE(request->text.size(), 4);
            QCOMPARE(request->address, request->text.at(1) - '0');
            QCOMPARE(letterOf(request->unit), request->text.at(2));
            found << QString::fromLatin1(request->text);
        }
    }
    QCOMPARE(found, expected);
}

// A day of readings at uneven intervals: the same seed repeats itself, every reading stays in
// its probe's band, readings move, and one second apart they move only a little.
void SimulatorLogicTest::temperaturesDriftPlausibly()
{
    TemperatureModel model(42);
    TemperatureModel twin(42);
    TemperatureModel other(43);
    const auto &profiles = TemperatureModel::profiles();
    std::array<double, channelCount> lowest, highest;
    lowest.fill(1e9);
    highest.fill(-1e9);
    bool otherDiffers = false;

    double seconds = 0.0;
    ChannelTemperatures previous = model.sample(seconds);
    twin.sample(seconds);
    other.sample(seconds);
    for (int i = 0; seconds < 86400.0; ++i) {
        // Mostly a second apart, as continuous reading does, sometimes long pauses.
        const double step = i % 50 == 0 ? 600.0 : i % 7 == 0 ? 0.05 : 1.0;
        seconds += step;
        const ChannelTemperatures now = model.sample(seconds);
        QVERIFY(twin.sample(seconds) == now);
        otherDiffers = otherDiffers || other.sample(seconds) != now;
        for (std::size_t c = 0; c < channelCount; ++c) {
            const ChannelProfile &p = profiles[c];
            QVERIFY2(std::abs(now[c] - p.base) <= p.limit(),
                     qPrintable(QStringLiteral("channel %1 at %2 °C").arg(c + 1).arg(now[c])));
            if (step <= 1.0)
                QVERIFY2(std::abs(now[c] - previous[c]) <= p.limit() / 2,
                         qPrintable(QStringLiteral("channel %1 jumps %2 -> %3")
                                        .arg(c + 1)
                                        .arg(previous[c])
                                        .arg(now[c])));
            lowest[c] = std::min(lowest[c], now[c]);
            highest[c] = std::max(highest[c], now[c]);
        }
        previous = now;
    }
    QVERIFY(otherDiffers);
    for (std::size_t c = 0; c < channelCount; ++c)
        QVERIFY2(highest[c] - lowest[c] > profiles[c].swing,
                 qPrintable(QStringLiteral("channel %1 hardly moves").arg(c + 1)));
}

void SimulatorLogicTest::addressListsAreRead_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("expected"); // empty: refused

    QTest::newRow("one") << "3" << QList<int>{3};
    QTest::newRow("three, blanks") << " 0 , 3,5 " << QList<int>{0, 3, 5};
    QTest::newRow("all eight") << "7,1,2,3,4,5,6,0" << QList<int>{7, 1, 2, 3, 4, 5, 6, 0};
    QTest::newRow("repeated") << "0,3, 3" << QList<int>{};
    QTest::newRow("eight") << "0,8" << QList<int>{};
    QTest::newRow("nothing") << "" << QList<int>{};
    QTest::newRow("trailing comma") << "0,3," << QList<int>{};
    QTest::newRow("blank between") << "0 3" << QList<int>{};
}

void SimulatorLogicTest::addressListsAreRead()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, expected);
    QString error;
    QCOMPARE(parseAddressList(text, &error).value_or(QList<int>{}), expected);
    QCOMPARE(error.isEmpty(), !expected.isEmpty());
}

void SimulatorLogicTest::commandsForOneCard_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("card");     // -1: for every card
    QTest::addColumn<QString>("same"); // the command it amounts to; empty: refused

    QTest::newRow("fault") << "card 3 fault no-answer" << 3 << "fault no-answer";
    QTest::newRow("fault-every") << "card 5 fault-every 4" << 5 << "fault-every 4";
    QTest::newRow("open, blanks") << "  card  7   open 1, 6 " << 7 << "open 1, 6";
    QTest::newRow("delay") << "card 0 delay 250" << 0 << "delay 250";
    QTest::newRow("every card") << "fault short" << -1 << "fault short";
    QTest::newRow("address 8") << "card 8 fault none" << -1 << "";
    QTest::newRow("no address") << "card fault none" << -1 << "";
    QTest::newRow("no command") << "card 3" << -1 << "";
    QTest::newRow("bad command") << "card 3 fault smoke" << -1 << "";
    QTest::newRow("unplug") << "card 3 unplug" << -1 << "";
    QTest::newRow("send") << "card 3 send t0ca" << -1 << "";
    QTest::newRow("quit") << "card 3 quit" << -1 << "";
    QTest::newRow("two cards") << "card 3 card 5 fault none" << -1 << "";
}

void SimulatorLogicTest::commandsForOneCard()
{
    QFETCH(QString, line);
    QFETCH(int, card);
    QFETCH(QString, same);
    QString error;
    const std::optional<Command> command = parseCommand(line, &error);
    QCOMPARE(error.isEmpty(), !same.isEmpty());
    if (!command)
        return;
    Command expected = *parseCommand(same, nullptr);
    expected.card = card < 0 ? std::nullopt : std::optional<int>(card);
    QVERIFY(*command == expected);
}

QTEST_GUILESS_MAIN(SimulatorLogicTest)
#include "tst_simulatorlogic.moc"
