// The acquisition session's rules on a scripted card and a clock that moves only when told: what
// a failure does to a run, the limits of a run, the ticks, and the log before the next request.

#include "acquisition/acquisitionsession.h"
#include "acquisition/sessionclock.h"
#include "device/cardline.h"
#include "tests/support/sessionfakes.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>

using namespace tervalo;
using namespace tervalo::test;

namespace {

// A session on port 1 of a card that answers every request 150 ms later, unless told not to.
struct Rig
{
    Rig()
    {
        line.onWrite = [this](const QString &) {
            if (!silent)
                clock.at(150, [this] { line.receive(cardAnswer()); });
        };
        QObject::connect(&session, &AcquisitionSession::readingTaken, &session,
                         [this](const CardReading &r) { readings.append(r); });
        QObject::connect(&session, &AcquisitionSession::statusText, &session,
                         [this](const QString &text) { status = text; });
        QObject::connect(&session, &AcquisitionSession::problem, &session,
                         [this](const SessionProblem &p) { problems.append(p.kind); });
        QObject::connect(&session, &AcquisitionSession::runEnded, &session,
                         [this](int, bool failed) { ended.append(failed); });
        QObject::connect(&session, &AcquisitionSession::stateChanged, &session,
                         [this](AcquisitionSession::State s) { states.append(s); });
        session.setInterval(333);
        session.preparePort(1);
    }
    FakeLine line;
    FakeClock clock;
    AcquisitionSession session{line, clock};
    bool silent = false;
    QList<CardReading> readings;
    QString status;
    QList<SessionProblem::Kind> problems;
    QList<bool> ended;
    QList<AcquisitionSession::State> states;
};

using State = AcquisitionSession::State;

} // namespace

class SessionTest : public QObject
{
    Q_OBJECT
private slots:
    // What each failure does, with and without a run, with and without Keep Running: the one
    // place these rules live is the session, and this table is their whole list.
    void failureRules_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<bool>("running");
        QTest::addColumn<bool>("keepRunning");
        QTest::addColumn<bool>("runEnds");
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<bool>("asksAgain"); // a request goes out after the card is back
        QTest::addColumn<QString>("message");
        const QString timeout = QStringLiteral("Communications timeout - Check cables and address settings");
        const QString send = QStringLiteral("Error 8104 received. If problem persists please restart Tervalo.");
        const QString lost = QStringLiteral("Error 8106 received. If problem persists please restart Tervalo.");
        QTest::newRow("time-out ends a run") << "timeout" << true << false << true << true << false << timeout;
        QTest::newRow("time-out, Keep Running") << "timeout" << true << true << false << true << true << timeout;
        QTest::newRow("time-out of a single reading") << "timeout" << false << false << false << true << false << timeout;
        QTest::newRow("failed send ends a run") << "send" << true << false << true << true << false << send;
        QTest::newRow("failed send, Keep Running: port given up") << "send" << true << true << false << false << true << send;
        QTest::newRow("failed send of a single reading") << "send" << false << true << false << true << false << send;
        QTest::newRow("lost line ends a run") << "lost" << true << false << true << false << false << lost;
        QTest::newRow("lost line, Keep Running") << "lost" << true << true << false << false << true << lost;
        QTest::newRow("lost line while idle") << "lost" << false << false << false << false << false << lost;
        QTest::newRow("suspend ends even a Keep Running run") << "suspend" << true << true << true << false << false << QString();
    }
    void failureRules()
    {
        QFETCH(QString, failure);
        QFETCH(bool, running);
        QFETCH(bool, keepRunning);
        QFETCH(bool, runEnds);
        QFETCH(bool, portOpen);
        QFETCH(bool, asksAgain);
        QFETCH(QString, message);
        Rig rig;
        rig.session.setKeepRunning(keepRunning);
        if (running) {
            rig.session.startRun();
            rig.clock.advance(500); // one reading: a tick at 333, its answer at 483
        } else {
            rig.session.requestData();
            rig.clock.advance(200);
        }
        QCOMPARE(rig.readings.size(), 1);
        rig.status.clear();
        QCOMPARE(rig.problems.size(), 0);

        if (failure == QLatin1String("timeout")) {
            rig.silent = true;
            if (!running)
                rig.session.requestData();
            rig.clock.advance(running ? 700 : 500); // the tick at 666 times out at 1166
        } else if (failure == QLatin1String("send")) {
            rig.line.failWrites = true;
            if (!running)
                rig.session.requestData();
            rig.clock.advance(200); // the tick at 666
        } else if (failure == QLatin1String("lost")) {
            rig.line.hangUp();
        } else {
            rig.session.sysInfo_PowerSuspend();
        }
        QCOMPARE(rig.status, message);
        // Told apart once more for a reader with no status line; a suspend is no failure of the card.
        using Kind = SessionProblem::Kind;
        const QMap<QString, QList<Kind>> told{{QStringLiteral("timeout"), {Kind::Timeout}},
                                              {QStringLiteral("send"), {Kind::SendFailed}},
                                              {QStringLiteral("lost"), {Kind::DeviceLost}},
                                              {QStringLiteral("suspend"), {}}};
        QCOMPARE(rig.problems, told.value(failure));
        QCOMPARE(rig.ended, runEnds ? QList<bool>{true} : QList<bool>{});
        QCOMPARE(rig.session.running(), running && !runEnds);
        QCOMPARE(rig.line.PortOpen(), portOpen);
        QVERIFY(!rig.clock.timeoutActive());

        // The card is back and fine: only a run that goes on asks it again, on the same port.
        rig.silent = false;
        rig.line.failWrites = false;
        const qsizetype before = rig.line.written.size();
        rig.clock.advance(1000);
        QCOMPARE(rig.line.written.size() > before, asksAgain);
        if (asksAgain) {
            QVERIFY(rig.line.PortOpen());
            QCOMPARE(rig.line.device(), QStringLiteral("fake1"));
            QCOMPARE(rig.session.state() == State::Running || rig.session.state() == State::Waiting, true);
            QCOMPARE(rig.problems.size(), 1);
        }
    }

    // A run may last a year; the system's timers take an int of milliseconds (24.8 days), so a
    // longer deadline is waited for a day at a time, and a day gone by is not the deadline.
    void longDeadlines_data()
    {
        QTest::addColumn<qint64>("fromNowMs");
        QTest::addColumn<bool>("reached"); // within a tenth of a second
        QTest::newRow("30 days") << 30LL * 86400000 << false;
        QTest::newRow("a year") << 366LL * 86400000 << false;
        QTest::newRow("25 days, just past an int") << 2147483648LL << false;
        QTest::newRow("20 ms") << 20LL << true;
    }
    void longDeadlines()
    {
        QFETCH(qint64, fromNowMs);
        QFETCH(bool, reached);
        SystemSessionClock clock;
        QSignalSpy deadline(&clock, &SessionClock::deadlineReached);
        clock.setDeadline(fromNowMs);
        QTimer *waiting = nullptr;
        for (QTimer *timer : clock.findChildren<QTimer *>())
            waiting = timer->isActive() ? timer : waiting;
        QVERIFY(waiting);
        QVERIFY(waiting->interval() > 0 && waiting->interval() <= 86400000);
        if (!reached)
            waiting->start(0); // as if a day had gone by
        QTest::qWait(100);
        QCOMPARE(deadline.size(), reached ? 1 : 0);
        QCOMPARE(waiting->isActive(), !reached);
    }

    // A request that cannot be sent ends the exchange: an earlier one still awaited will not be
    // answered, and no time-out comes after the send failure's message.
    void failedSendEndsTheExchange()
    {
        Rig rig;
        rig.silent = true;
        rig.session.requestData();
        rig.clock.advance(100);
        rig.line.failWrites = true;
        rig.session.requestData();
        QCOMPARE(rig.session.outstandingRequests(), 0);
        QVERIFY(!rig.clock.timeoutActive());
        rig.clock.advance(1000);
        QCOMPARE(rig.status, QStringLiteral("Error 8104 received. If problem persists please restart Tervalo."));
    }

    // With Keep Running a card that stays away costs a message, and the run keeps trying.
    void keepRunningWhileTheCardStaysAway()
    {
        Rig rig;
        rig.session.setKeepRunning(true);
        rig.session.startRun();
        rig.clock.advance(500);
        rig.line.openable.clear();
        rig.line.hangUp();
        QCOMPARE(rig.session.state(), State::PortGivenUp);
        rig.clock.advance(2000); // six ticks, each one trying the port again
        QCOMPARE(rig.status, QStringLiteral("Error 8018 received. If problem persists please restart Tervalo."));
        QVERIFY(rig.session.running());
        rig.line.openable = {1};
        rig.clock.advance(400); // the tick at 2664 opens it, its answer comes at 2814
        QVERIFY(rig.line.PortOpen());
        QCOMPARE(rig.readings.size(), 2);
        QVERIFY(rig.ended.isEmpty());
    }

    // A run of limited length ends by itself, and the answer awaited at its end is still taken.
    void limits_data()
    {
        QTest::addColumn<qint64>("count");
        QTest::addColumn<qint64>("durationMs");
        QTest::addColumn<int>("readings");
        QTest::newRow("count") << qint64(3) << qint64(0) << 3;
        QTest::newRow("duration, last answer awaited at the end") << qint64(0) << qint64(1000) << 3;
        QTest::newRow("count before duration") << qint64(2) << qint64(60000) << 2;
    }
    void limits()
    {
        QFETCH(qint64, count);
        QFETCH(qint64, durationMs);
        QFETCH(int, readings);
        Rig rig;
        rig.session.setLimits(count, durationMs);
        rig.session.startRun();
        rig.clock.advance(10000);
        QCOMPARE(rig.readings.size(), readings);
        QCOMPARE(rig.ended, QList<bool>{false});
        QCOMPARE(rig.session.state(), State::Idle);
        QVERIFY(!rig.clock.gridEnabled());
        QCOMPARE(rig.states.last(), State::Idle);
    }

    // A stop leaves the request in flight alone: its answer is still taken, then nothing more.
    void stopTakesTheAwaitedAnswer()
    {
        Rig rig;
        rig.session.startRun();
        rig.clock.advance(400); // the tick at 333 awaits its answer
        rig.session.stopRun();
        QCOMPARE(rig.session.state(), State::Stopping);
        rig.clock.advance(2000);
        QCOMPARE(rig.readings.size(), 1);
        QCOMPARE(rig.line.written.size(), 1);
        QCOMPARE(rig.session.state(), State::Idle);
        QVERIFY(rig.ended.isEmpty()); // a stop asked for is not an end the session decided
    }

    void tickKeys_data()
    {
        QTest::addColumn<QString>("sKey");
        QTest::addColumn<int>("requests");
        QTest::newRow("commTimer") << "commTimer" << 1;
        QTest::newRow("other case") << "CommTimer" << 0;
        QTest::newRow("trailing blank") << "commTimer " << 0;
        QTest::newRow("empty") << "" << 0;
    }
    void tickKeys()
    {
        QFETCH(QString, sKey);
        QFETCH(int, requests);
        Rig rig;
        emit rig.clock.Timer(sKey);
        QCOMPARE(rig.line.written.size(), requests);
    }

    // Each record is on disk before the next request goes out, whoever watches the readings.
    void recordOnDiskBeforeTheNextRequest()
    {
        QTemporaryDir folder;
        const QString log = folder.filePath(QStringLiteral("run.csv"));
        Rig rig;
        QList<int> linesAtRequest;
        rig.line.onWrite = [&](const QString &) {
            QFile file(log);
            linesAtRequest.append(file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : 0);
            rig.clock.at(150, [&] { rig.line.receive(cardAnswer()); });
        };
        rig.session.setLogFile(log);
        rig.session.setSetup({QStringLiteral("3"), QStringLiteral("f"), {true, true, true, true, true, false}});
        rig.session.startRun();
        rig.clock.advance(1400);
        QCOMPARE(linesAtRequest, (QList<int>{0, 1, 2, 3}));
        QCOMPARE(rig.line.written.first(), QStringLiteral("t3fa"));
        QVERIFY(rig.readings.last().logged);
        QCOMPARE(rig.readings.last().logError, 0);
        QCOMPARE(rig.readings.last().address, QStringLiteral("3"));
        QVERIFY(rig.readings.last().record.endsWith(QStringLiteral(",f,0231,0232,0233,0234,0235,disabled,")));
    }

    // Cards 0, 3 and 5 on one line at one round a second: each card's time-out is its share of
    // the interval (328 ms), so a silent one costs its own reading only.
    void rounds_data()
    {
        QTest::addColumn<QString>("silent"); // addresses that do not answer
        QTest::addColumn<bool>("keepRunning");
        QTest::addColumn<qint64>("count");
        QTest::addColumn<qint64>("advanceMs");
        QTest::addColumn<QString>("requests"); // addresses asked, in order
        QTest::addColumn<QString>("answered");
        QTest::addColumn<QString>("timedOut");
        QTest::addColumn<QList<bool>>("ended");
        // Asked at 1000, 1150 and 1300, each as soon as the card before has answered.
        QTest::newRow("each in turn") << "" << false << qint64(0) << qint64(1460) << "035" << "035" << "" << QList<bool>{};
        QTest::newRow("no tick cuts a round") << "" << false << qint64(0) << qint64(2460) << "035035" << "035035" << "" << QList<bool>{};
        // Card 3 times out at 1478 and card 5 is asked then; its answer at 1628 is inside the second.
        QTest::newRow("silent card, Keep Running: a gap of its own") << "3" << true << qint64(0) << qint64(2700) << "035035" << "0505" << "33" << QList<bool>{};
        QTest::newRow("silent card ends a run") << "3" << false << qint64(0) << qint64(5000) << "03" << "0" << "3" << QList<bool>{true};
        QTest::newRow("silent first card") << "0" << true << qint64(0) << qint64(1900) << "035" << "35" << "0" << QList<bool>{};
        QTest::newRow("count counts rounds") << "" << false << qint64(2) << qint64(9000) << "035035" << "035035" << "" << QList<bool>{false};
        QTest::newRow("a round of silent cards does not count") << "035" << true << qint64(1) << qint64(2990) << "035035" << "" << "035035" << QList<bool>{};
    }
    void rounds()
    {
        QFETCH(QString, silent);
        QFETCH(bool, keepRunning);
        QFETCH(qint64, count);
        QFETCH(qint64, advanceMs);
        QFETCH(QString, requests);
        QFETCH(QString, answered);
        QFETCH(QString, timedOut);
        QFETCH(QList<bool>, ended);
        QTemporaryDir folder;
        Rig rig;
        QString asked, timeouts;
        rig.line.onWrite = [&](const QString &request) {
            asked += request.at(1);
            if (!silent.contains(request.at(1)))
                rig.clock.at(150, [&] { rig.line.receive(cardAnswer()); });
        };
        QObject::connect(&rig.session, &AcquisitionSession::problem, &rig.session,
                         [&](const SessionProblem &p) { timeouts += p.address; });
        QList<RoundCard> cards;
        for (const QString &address : {QStringLiteral("0"), QStringLiteral("3"), QStringLiteral("5")})
            cards.append({address, folder.filePath(QStringLiteral("card-%1.csv").arg(address))});
        rig.session.setRound(cards);
        rig.session.setInterval(1000);
        rig.session.setKeepRunning(keepRunning);
        rig.session.setLimits(count, 0);
        rig.session.startRun();
        rig.clock.advance(advanceMs);

        QCOMPARE(asked, requests);
        QString addresses;
        for (const CardReading &reading : rig.readings)
            addresses += reading.address;
        QCOMPARE(addresses, answered);
        QCOMPARE(timeouts, timedOut);
        QCOMPARE(rig.ended, ended);
        // Each card's log holds its own records and nothing else.
        for (const RoundCard &card : cards) {
            QFile log(card.logFile);
            const int lines = log.open(QIODevice::ReadOnly) ? int(log.readAll().count('\n')) : 0;
            QCOMPARE(lines, int(answered.count(card.address)));
        }
    }
};

QTEST_MAIN(SessionTest)
#include "session_test.moc"
