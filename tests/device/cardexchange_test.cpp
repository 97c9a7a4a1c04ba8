// The exchange with the card on a scripted line and a clock that moves only when told: whole,
// split, late, overlapping and stray answers, silence and a hang-up, each in milliseconds.

#include "device/cardexchange.h"
#include "device/cardreading.h"
#include "device/commerror.h"
#include "tests/support/sessionfakes.h"

#include <QTest>

using namespace tervalo;
using namespace tervalo::test;

namespace {

// The exchange driven as the session drives it, keeping what came of it.
struct Driver
{
    Driver() : exchange(line, clock)
    {
        QObject::connect(&line, &CardLine::OnComm, &line, [this] {
            if (line.CommEvent() != CardLine::comEvReceive)
                return;
            if (std::optional<QString> answer = exchange.takeAnswer())
                answers.append(*answer);
        });
        QObject::connect(&clock, &SessionClock::timeoutExpired, &line, [this] {
            ++timeouts;
            exchange.timedOut();
        });
        QObject::connect(&line, &CardLine::deviceLost, &line, [this] { exchange.endExchange(); });
        exchange.openPort(1);
    }
    // "req", "rx TEXT" or "hangup", at a time in ms from the start.
    void script(const QStringList &steps)
    {
        for (const QString &step : steps) {
            const qsizetype colon = step.indexOf(QLatin1Char(':'));
            const qint64 at = step.left(colon).toLongLong();
            const QString action = step.mid(colon + 1);
            clock.advance(at - clock.nowMs());
            if (action == QLatin1String("req"))
                exchange.sendRequest(QStringLiteral("0"), QStringLiteral("c"));
            else if (action == QLatin1String("hangup"))
                line.hangUp();
            else
                line.receive(action.mid(3));
        }
        clock.advance(2000);
    }
    FakeLine line;
    FakeClock clock;
    CardExchange exchange;
    QStringList answers;
    int timeouts = 0;
};

const QString a1 = cardAnswer({"0011", "0012", "0013", "0014", "0015", "0016"});
const QString a2 = cardAnswer({"0021", "0022", "0023", "0024", "0025", "0026"});

} // namespace

class CardExchangeTest : public QObject
{
    Q_OBJECT
private slots:
    void answers_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<int>("timeouts");
        QTest::newRow("whole") << QStringList{"0:req", "150:rx " + a1} << QStringList{a1} << 0;
        QTest::newRow("split in two")
            << QStringList{"0:req", "100:rx " + a1.left(16), "200:rx " + a1.mid(16)}
            << QStringList{a1} << 0;
        QTest::newRow("31 characters never make an answer")
            << QStringList{"0:req", "150:rx " + a1.left(31)} << QStringList{} << 1;
        QTest::newRow("late: timed out, and its rest never starts the next answer")
            << QStringList{"0:req", "450:rx " + a1.left(10), "600:rx " + a1.mid(10), "1000:req",
                           "1150:rx " + a2}
            << QStringList{a2} << 1;
        QTest::newRow("overlapping: the second request keeps the first answer's start")
            << QStringList{"0:req", "300:rx " + a1.left(10), "333:req", "450:rx " + a1.mid(10),
                           "780:rx " + a2}
            << QStringList{a1, a2} << 0;
        QTest::newRow("stray character while awaited: shifted, taken at 32")
            << QStringList{"0:req", "10:rx x", "150:rx " + a1} << QStringList{"x" + a1.left(31)}
            << 0;
        QTest::newRow("stray character while idle: gone before the next request")
            << QStringList{"0:rx x", "100:req", "250:rx " + a1} << QStringList{a1} << 0;
        QTest::newRow("taken at the 32nd; what follows never starts the next answer")
            << QStringList{"0:req", "150:rx " + a1 + "EXTRA!!!", "1000:req", "1150:rx " + a2}
            << QStringList{a1, a2} << 0;
        QTest::newRow("silence") << QStringList{"0:req"} << QStringList{} << 1;
        QTest::newRow("hang-up: nothing outstanding, no time-out")
            << QStringList{"0:req", "100:hangup"} << QStringList{} << 0;
    }
    void answers()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, answers);
        QFETCH(int, timeouts);
        Driver d;
        d.script(steps);
        QCOMPARE(d.answers, answers);
        QCOMPARE(d.timeouts, timeouts);
        QCOMPARE(d.exchange.outstandingRequests(), 0);
        QVERIFY(!d.clock.timeoutActive());
    }

    // The line is told how much of an answer is still missing, so it can wake the reader once.
    void awaitsTheRestOfTheAnswer()
    {
        Driver d;
        d.exchange.sendRequest(QStringLiteral("0"), QStringLiteral("c"));
        QCOMPARE(d.line.awaited(), 32);
        d.line.receive(a1.left(20));
        QCOMPARE(d.line.awaited(), 12);
        d.line.receive(a1.mid(20));
        QCOMPARE(d.line.awaited(), 0); // nothing awaited: every character counts again
    }

    void failedSendLeavesNothingOutstanding()
    {
        Driver d;
        d.line.failWrites = true;
        QVERIFY_THROWS_EXCEPTION(CommError, d.exchange.sendRequest(QStringLiteral("0"), QStringLiteral("c")));
        QCOMPARE(d.line.written.size(), 0);
        d.exchange.endExchange();
        QCOMPARE(d.exchange.outstandingRequests(), 0);
        QVERIFY(!d.clock.timeoutActive());
    }

    // What a failed answer gives every consumer: six "Err", six zeros to plot, the error record.
    void decodedAnswers_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QList<qint16>>("values");
        QTest::addColumn<QString>("items");
        QTest::newRow("whole") << a1 << QStringList{"0011", "0012", "0013", "0014", "0015", "0016"}
                               << QList<qint16>{11, 12, 13, 14, 15, 16}
                               << "0011,0012,0013,0014,0015,0016,";
        QTest::newRow("one field not a number")
            << cardAnswer({"0011", "0x12", "0013", "0014", "0015", "0016"})
            << QStringList(6, QStringLiteral("Err")) << QList<qint16>(6, 0)
            << "err,err,err,err,err,err,";
        QTest::newRow("open and a fraction")
            << cardAnswer({"1    ", "12.5", "13.5", "-012", "  +3", "0016"})
            << QStringList{"Open", "12.5", "13.5", "-012", "  +3", "0016"}
            << QList<qint16>{0, 12, 14, -12, 3, 16} << "open,12.5,13.5,-012,  +3,0016,";
    }
    void decodedAnswers()
    {
        QFETCH(QString, answer);
        QFETCH(QStringList, labels);
        QFETCH(QList<qint16>, values);
        QFETCH(QString, items);
        const CardReading reading = decodeAnswer(answer, {true, true, true, true, true, true},
                                                 QDateTime(QDate(2026, 12, 8), QTime(10, 0)),
                                                 QStringLiteral("c"), QLocale::c());
        QStringList shown;
        for (int i = 0; i < channelCount; ++i)
            shown << reading.label(i);
        QCOMPARE(shown, labels);
        const auto plotted = reading.values();
        QCOMPARE(QList<qint16>(plotted.begin(), plotted.end()), values);
        QVERIFY2(reading.record.endsWith(QStringLiteral(",c,") + items), qPrintable(reading.record));
        QCOMPARE(std::isnan(reading.number(0)), labels[0] == "Open" || labels[0] == "Err");
        // The history keeps the fraction the plot rounds away.
        if (reading.ok())
            QCOMPARE(reading.number(1), labels[1].toDouble());
    }
};

QTEST_MAIN(CardExchangeTest)
#include "cardexchange_test.moc"
