// Continuous acquisition against the card simulator, with the program's own classes: the main
// window's serial port and reading protocol, paced by an acquisition cycle and its sampling timer.
// It measures how close the requests keep to the ideal grid, how long a complete answer takes to
// reach the reading labels, and what the run costs in CPU time and memory.
//
//   acquisition_bench [--rate 3sps] [--seconds 60] [--pairs 3] [--graph] [--reference-vmin]
//                     [--logger] [--sim-arg ARG]...
//
// Absolute figures from a shared virtual machine say more about its neighbours than about the
// program, so by default the run is a comparison: the program (A) and reference_reader (B), a
// plain POSIX reader of the same card, take turns, A B A B..., each against a freshly started
// simulator with the same options. The medians of each side and their ratio are reported, with
// the load average around every run. --pairs 0 is a single run of the program alone.
// With --logger, side B is the headless logger tervalo-log instead, logging to a file, its CPU
// time and peak memory taken by run_measured; the figures it has no way to report (grid error,
// latency) are 0 on its side.
//
// Every run ends with "result <key> <value>" lines; reference_reader prints the same keys, and
// the comparison reads both sides with the same parser.
//
// The simulator is $TERVALO_SIMULATOR, else the one built alongside. Settings and simulator links
// go to private temporary folders, so a run touches neither the user's settings nor their ports.

#include "acquisition/acquisitioncycle.h"
#include "acquisition/hirestimer.h"
#include "acquisition/ratetable.h"
#include "acquisition/sessionclock.h"
#include "acquisition/sessionthread.h"
#include "app/frmmain.h"
#include "device/cardexchange.h"
#include "device/cardline.h"
#include "device/portnumbering.h"
#include "device/protocol.h"
#include "output/alarmdisplay.h"
#include "output/frmgraph.h"
#include "output/graph.h"
#include "bench/benchsupport.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include <sys/resource.h>

using namespace tervalo;
using tervalo::bench::linkAnnounced;
using tervalo::bench::loadAverage1;
using tervalo::bench::parseResults;
using tervalo::bench::Results;

namespace {

struct Stats
{
    double mean = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    size_t count = 0;
};

Stats statsOf(std::vector<double> values)
{
    Stats s;
    s.count = values.size();
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    double sum = 0;
    for (double v : values)
        sum += v;
    const auto at = [&](double q) {
        return values[size_t(std::max(0.0, std::ceil(q * double(values.size())) - 1))];
    };
    s.mean = sum / double(values.size());
    s.p50 = at(0.50);
    s.p99 = at(0.99);
    s.max = values.back();
    return s;
}

// Notes when a descriptor last woke the session's event loop: for the serial port, the moment
// the characters it brought became known to the program. Filtered on the descriptor's notifiers,
// so it sees the notification before anyone reads it.
class SerialWakeWatch : public QObject
{
public:
    explicit SerialWakeWatch(const QElapsedTimer &clock) : m_clock(clock) {}
    std::atomic<qint64> lastWakeNs = 0; // set on the session's thread, read on the window's

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::SockAct)
            lastWakeNs = m_clock.nsecsElapsed();
        return false;
    }

private:
    const QElapsedTimer &m_clock;
};

// Notes every paint of a reading label.
class PaintWatch : public QObject
{
public:
    explicit PaintWatch(const QElapsedTimer &clock) : m_clock(clock) {}
    std::vector<qint64> paintNs;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            paintNs.push_back(m_clock.nsecsElapsed());
        return false;
    }

private:
    const QElapsedTimer &m_clock;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

struct Run
{
    Results results;
    double loadStart = 0;
    double loadEnd = 0;
    bool ok = false;
};

// Runs one side to its end and shows what it printed, apart from the result lines that are
// summed up at the end anyway.
Run runChild(const QString &program, const QStringList &args, double seconds)
{
    Run run;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    run.loadStart = loadAverage1();
    child.start(program, args);
    if (!child.waitForStarted(5000)) {
        std::fprintf(stderr, "acquisition_bench: cannot start %s\n", qPrintable(program));
        return run;
    }
    child.waitForFinished(int(seconds * 1000) + 60000);
    run.loadEnd = loadAverage1();
    const QByteArray output = child.readAllStandardOutput();
    for (const QByteArray &line : output.split('\n')) {
        if (!line.startsWith("result ") && !line.isEmpty())
            std::printf("    %s\n", line.constData());
    }
    run.results = parseResults(output);
    run.ok = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0 &&
             run.results.count(QStringLiteral("requests"));
    return run;
}

struct PairOptions
{
    QString rate;
    int intervalMs = 0;
    double seconds = 0;
    int pairs = 0;
    bool graph = false;
    bool referenceVmin = false;
    bool logger = false;
    QStringList simArgs;
};

int runPairs(const tervalo::bench::PrivateFolders &runtime, const PairOptions &o)
{
    // Children inherit the priority, so both sides run at the one the program asks for.
    SetPriority(-2, 256);
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    const QString self = QCoreApplication::applicationFilePath();
    const QString reference = QCoreApplication::applicationDirPath() +
                              (o.logger ? QStringLiteral("/run_measured")
                                        : QStringLiteral("/reference_reader"));
    const QString logger = QStringLiteral(TERVALO_LOGGER_BUILD_PATH);
    for (const QString &program : o.logger ? QStringList{reference, logger} : QStringList{reference}) {
        if (!QFileInfo(program).isExecutable()) {
            std::fprintf(stderr, "acquisition_bench: %s is missing\n", qPrintable(program));
            return 1;
        }
    }
    std::printf("acquisition_bench: %d pairs of %.0f s runs at %s (%d ms)%s, program (A) then "
                "reference (B), nice %d\n  simulator %s\n  reference %s%s\n",
                o.pairs, o.seconds, qPrintable(o.rate), o.intervalMs,
                o.graph ? ", graph open in A" : "", nice,
                qPrintable(tervalo::bench::simulatorProgram()),
                qPrintable(o.logger ? logger : reference), o.referenceVmin ? " --vmin" : "");
    std::fflush(stdout);

    QStringList programArgs = {QStringLiteral("--pairs"), QStringLiteral("0"),
                               QStringLiteral("--rate"), o.rate, QStringLiteral("--seconds"),
                               QString::number(o.seconds)};
    if (o.graph)
        programArgs << QStringLiteral("--graph");
    for (const QString &arg : o.simArgs)
        programArgs << QStringLiteral("--sim-arg") << arg;

    std::vector<Run> programRuns;
    std::vector<Run> referenceRuns;
    bool allOk = true;
    const auto loadLine = [](const char *side, int pair, const Run &run) {
        std::printf("  %s%d: load average %.2f at the start, %.2f at the end%s\n", side, pair,
                    run.loadStart, run.loadEnd, run.ok ? "" : ", FAILED");
        std::fflush(stdout);
    };
    for (int pair = 1; pair <= o.pairs; ++pair) {
        std::printf("\n  A%d: program\n", pair);
        std::fflush(stdout);
        programRuns.push_back(runChild(self, programArgs, o.seconds));
        loadLine("A", pair, programRuns.back());
        allOk = allOk && programRuns.back().ok;

        std::printf("\n  B%d: %s\n", pair, o.logger ? "tervalo-log" : "reference");
        std::fflush(stdout);
        QProcess sim;
        const QString simOutput =
            runtime.runtimeFile(QStringLiteral("sim-reference-%1.out").arg(pair));
        Run run;
        if (tervalo::bench::startSimulator(sim, o.simArgs, simOutput)) {
            QStringList args = {QStringLiteral("--link"), linkAnnounced(simOutput),
                                QStringLiteral("--rate-ms"), QString::number(o.intervalMs),
                                QStringLiteral("--seconds"), QString::number(o.seconds),
                                QStringLiteral("--address"), QStringLiteral("0"),
                                // The program's runs read degrees Celsius.
                                QStringLiteral("--unit"), QStringLiteral("c")};
            if (o.referenceVmin)
                args << QStringLiteral("--vmin");
            if (o.logger) {
                // Logging to a file, as it runs in the field; settings from a private store.
                qputenv("XDG_CONFIG_HOME", runtime.runtimeFile(QStringLiteral("config")).toLocal8Bit());
                args = QStringList{logger, QStringLiteral("--device"), linkAnnounced(simOutput),
                                   QStringLiteral("--rate"), o.rate, QStringLiteral("--duration"),
                                   QString::number(qRound(o.seconds)), QStringLiteral("--address"),
                                   QStringLiteral("0"), QStringLiteral("--unit"), QStringLiteral("c"),
                                   QStringLiteral("--log"),
                                   runtime.runtimeFile(QStringLiteral("logger-%1.csv").arg(pair))};
            }
            run = runChild(reference, args, o.seconds);
        } else {
            std::fprintf(stderr, "acquisition_bench: cannot start %s\n",
                         qPrintable(tervalo::bench::simulatorProgram()));
        }
        sim.terminate();
        sim.waitForFinished(3000);
        referenceRuns.push_back(run);
        loadLine("B", pair, referenceRuns.back());
        allOk = allOk && run.ok;
    }

    const auto medianOf = [](const std::vector<Run> &runs, const QString &key) {
        std::vector<double> values;
        for (const Run &run : runs) {
            const auto found = run.results.find(key);
            if (run.ok && found != run.results.end())
                values.push_back(found->second);
        }
        return median(values);
    };
    struct Row
    {
        const char *key;
        const char *what;
    };
    const Row rows[] = {
        {"requests", "readings requested"},
        {"answers", "readings answered"},
        {"grid_error_p50_ms", "grid error p50 |request - grid|, ms"},
        {"grid_error_p99_ms", "grid error p99 |request - grid|, ms"},
        {"period_jitter_p99_ms", "period jitter p99, ms"},
        {"latency_p50_ms", "last character -> decoded p50, ms"},
        {"latency_p99_ms", "last character -> decoded p99, ms"},
        {"cpu_ms_per_reading", "CPU per reading, ms"},
        {"cpu_percent", "CPU load of one core, %"},
        {"peak_rss_mb", "peak resident memory, MB"},
    };
    std::printf("\n  medians over %d runs a side (A = program, B = reference)\n\n", o.pairs);
    std::printf("  %-40s %12s %12s %12s\n", "measure", "A", "B", "A / B");
    QByteArray resultLines;
    for (const Row &row : rows) {
        const QString key = QString::fromLatin1(row.key);
        const double a = medianOf(programRuns, key);
        const double b = medianOf(referenceRuns, key);
        const QString ratio = b != 0 ? QString::number(a / b, 'f', 2) : QStringLiteral("-");
        std::printf("  %-40s %12.3f %12.3f %12s\n", row.what, a, b, qPrintable(ratio));
        resultLines += QStringLiteral("result program_%1 %2\nresult reference_%1 %3\n")
                           .arg(key).arg(a, 0, 'g', 6).arg(b, 0, 'g', 6)
                           .toLatin1();
        if (b != 0)
            resultLines +=
                QStringLiteral("result ratio_%1 %2\n").arg(key).arg(a / b, 0, 'g', 6).toLatin1();
    }
    const auto answeredShare = [&](const std::vector<Run> &runs) {
        const double requested = medianOf(runs, QStringLiteral("requests"));
        return requested ? medianOf(runs, QStringLiteral("answers")) / requested : 0;
    };
    std::printf("  %-40s %12.3f %12.3f\n", "answered / requested", answeredShare(programRuns),
                answeredShare(referenceRuns));
    std::printf("\n%s", resultLines.constData());
    for (size_t k = 0; k < programRuns.size(); ++k)
        std::printf("result load_A%zu %.2f %.2f\n", k + 1, programRuns[k].loadStart,
                    programRuns[k].loadEnd);
    for (size_t k = 0; k < referenceRuns.size(); ++k)
        std::printf("result load_B%zu %.2f %.2f\n", k + 1, referenceRuns[k].loadStart,
                    referenceRuns[k].loadEnd);
    return allOk ? 0 : 1;
}

} // namespace

using namespace tervalo::bench;

int main(int argc, char *argv[])
{
    const PrivateFolders runtime;

    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Continuous acquisition against the card simulator."));
    parser.addHelpOption();
    const QCommandLineOption rateOption(QStringLiteral("rate"),
                                        QStringLiteral("Sample rate code (default 3sps)."),
                                        QStringLiteral("code"), QStringLiteral("3sps"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
                                           QStringLiteral("Length of the run (default 60)."),
                                           QStringLiteral("s"), QStringLiteral("60"));
    const QCommandLineOption simArgOption(QStringLiteral("sim-arg"),
                                          QStringLiteral("An option for the simulator."),
                                          QStringLiteral("arg"));
    const QCommandLineOption graphOption(QStringLiteral("graph"),
                                         QStringLiteral("Keep the graph window open and plotting."));
    const QCommandLineOption pairsOption(
        QStringLiteral("pairs"),
        QStringLiteral("Program and reference runs, taken in turns (default 3; 0: the program "
                       "alone, once)."),
        QStringLiteral("n"), QStringLiteral("3"));
    const QCommandLineOption referenceVminOption(
        QStringLiteral("reference-vmin"),
        QStringLiteral("The reference waits with VMIN, one wake-up an answer."));
    const QCommandLineOption loggerOption(
        QStringLiteral("logger"),
        QStringLiteral("Side B is the headless logger tervalo-log instead of the reference."));
    const QCommandLineOption alarmsOption(
        QStringLiteral("alarms"),
        QStringLiteral("18 alarm rules (above, below, open on every channel), the limits met by "
                       "every reading and every alarm raised again at each answer (program alone)."));
    parser.addOptions({rateOption, secondsOption, simArgOption, graphOption, pairsOption,
                       referenceVminOption, loggerOption, alarmsOption});
    parser.process(app);

    const QString rate = parser.value(rateOption);
    const std::optional<int> intervalMs = sampleRateInterval(rate);
    bool secondsOk = false;
    const double seconds = parser.value(secondsOption).toDouble(&secondsOk);
    if (!intervalMs || !secondsOk || seconds <= 0) {
        std::fprintf(stderr, "acquisition_bench: give a rate code such as 3sps and a positive "
                             "number of seconds\n");
        return 2;
    }
    bool pairsOk = false;
    const int pairs = parser.value(pairsOption).toInt(&pairsOk);
    if (!pairsOk || pairs < 0) {
        std::fprintf(stderr, "acquisition_bench: --pairs takes a number, 0 or more\n");
        return 2;
    }
    if (pairs > 0) {
        return runPairs(runtime, {rate, *intervalMs, seconds, pairs, parser.isSet(graphOption),
                                  parser.isSet(referenceVminOption), parser.isSet(loggerOption),
                                  parser.values(simArgOption)});
    }

    // As at the program's start-up, before anything else runs.
    SetPriority(-2, 256);
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);

    setSystemSerialPortsListed(false);
    QProcess sim;
    if (!startSimulator(sim, parser.values(simArgOption),
                        runtime.runtimeFile(QStringLiteral("sim.out")))) {
        std::fprintf(stderr, "acquisition_bench: cannot start %s\n",
                     qPrintable(simulatorProgram()));
        return 1;
    }

    frmMain window;
    window.state.tempType = QStringLiteral("c");
    window.ports->probePorts(0);
    SessionThread &session = *window.acquisitionThread;
    if (!session.call([](AcquisitionSession &s) { return s.line().PortOpen(); })) {
        std::fprintf(stderr, "acquisition_bench: the simulator's port did not open\n");
        return 1;
    }
    window.show();
    if (parser.isSet(graphOption))
        window.graph->cmdGraph_Click();

    // The window's own acquisition cycle starts and stops the run; the session asks the card on
    // its own thread.
    AcquisitionCycle &cycle = *window.acquisition;
    const auto listed = std::find(rateListCodes.begin(), rateListCodes.end(), rate.toStdString());
    cycle.fillRateList(listed == rateListCodes.end() ? 0 : int(listed - rateListCodes.begin()));
    if (listed == rateListCodes.end())
        session.post([ms = *intervalMs](AcquisitionSession &s) { s.setInterval(ms); });

    QElapsedTimer clock;
    clock.start();
    // Written on the session's thread while the run lasts, read once it is over.
    std::vector<qint64> requestNs;
    // The serial port's notifiers wake the session's thread: the moment the characters they
    // bring become known to the program. Watched there, before the serial port reads them.
    // The grid's own wake-ups are watched the same way: a request goes out at its tick, and the
    // tick's wake-up, not the end of its handler, is the moment to hold against the grid.
    auto *wakes = session.call([&](AcquisitionSession &s) {
        auto *watch = new SerialWakeWatch(clock);
        watch->setParent(&s);
        for (QSocketNotifier *notifier : s.line().findChildren<QSocketNotifier *>())
            notifier->installEventFilter(watch);
        auto *ticks = new SerialWakeWatch(clock);
        ticks->setParent(&s);
        for (HiResTimer *timer : s.clock().findChildren<HiResTimer *>()) {
            for (QSocketNotifier *notifier : timer->findChildren<QSocketNotifier *>())
                notifier->installEventFilter(ticks);
        }
        QObject::connect(&s.clock(), &SessionClock::Timer, &s, [&, ticks] {
            const qint64 woke = ticks->lastWakeNs;
            requestNs.push_back(woke > 0 ? woke : clock.nsecsElapsed());
        });
        return watch;
    });
    PaintWatch paints(clock);
    for (QLabel *label : window.lblCh)
        label->installEventFilter(&paints);

    // The worst the alarms can do to a reading: every rule checked, and every limit rule raised
    // again (box colour, tool tip, status line, desktop notice) at each answer.
    QList<AlarmRule> alarmRules;
    if (parser.isSet(alarmsOption)) {
        for (int channel = 0; channel < channelCount; ++channel) {
            alarmRules.append({channel, AlarmRule::Kind::Above, -999, QStringLiteral("c")});
            alarmRules.append({channel, AlarmRule::Kind::Below, 9999, QStringLiteral("c")});
            alarmRules.append({channel, AlarmRule::Kind::Open, 0, {}});
        }
        window.alarms->setRules(alarmRules, 0, 1);
    }
    int alarmColoured = 0;

    // Connected after the window's own consumers, so it runs once the labels show the reading
    // (and, with --alarms, once the alarm colour is set).
    std::vector<double> labelLatencyMs;
    std::vector<qint64> answerNs; // when the last character of each answer came in
    int answers = 0;
    int errorReadings = 0;
    QObject::connect(session.session(), &AcquisitionSession::readingTaken, &app,
                     [&](const CardReading &reading) {
                         ++answers;
                         const qint64 wokeNs = wakes->lastWakeNs;
                         labelLatencyMs.push_back(double(clock.nsecsElapsed() - wokeNs) / 1e6);
                         answerNs.push_back(wokeNs);
                         if (!reading.ok())
                             ++errorReadings;
                         if (!alarmRules.isEmpty()) {
                             alarmColoured += window.lblCh[0]->palette().color(QPalette::Window) ==
                                              AlarmDisplay::alarmColour();
                             window.alarms->acknowledge();
                             window.alarms->setRules(alarmRules, 0, 1);
                         }
                     });
    int timeouts = 0;
    QObject::connect(session.session(), &AcquisitionSession::statusText, &app,
                     [&](const QString &text) { timeouts += text == timeoutText(); });

    std::printf("acquisition_bench: %s (%d ms) for %.0f s, simulator %s, nice %d\n",
                qPrintable(rate), *intervalMs, seconds, qPrintable(simulatorProgram()), nice);
    std::fflush(stdout);

    const double cpuBefore = cpuSeconds();
    const qint64 startNs = clock.nsecsElapsed();
    cycle.cmdContinuous_Click();
    QTimer::singleShot(int(seconds * 1000), Qt::PreciseTimer, &app, [&] {
        cycle.cmdContinuous_Click();
        // The last request's answer still comes in.
        QTimer::singleShot(600, &app, &QCoreApplication::quit);
    });
    app.exec();
    session.call([](AcquisitionSession &) {}); // what the session's thread wrote is in sight
    const double wallSeconds = double(clock.nsecsElapsed() - startNs) / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    sim.terminate();
    sim.waitForFinished(3000);

    // Request n of the run is due at start + n x interval.
    const double interval = *intervalMs;
    std::vector<double> gridError;
    std::vector<double> gridErrorAbs;
    std::vector<double> periodErrorAbs;
    double previous = 0;
    for (size_t n = 0; n < requestNs.size(); ++n) {
        const double t = double(requestNs[n] - startNs) / 1e6;
        const double e = t - interval * double(n + 1);
        gridError.push_back(e);
        gridErrorAbs.push_back(std::abs(e));
        periodErrorAbs.push_back(std::abs(t - previous - interval));
        previous = t;
    }
    const size_t readings = requestNs.size();
    const double meanPeriodError =
        readings ? (double(requestNs.back() - startNs) / 1e6) / double(readings) - interval : 0;
    const Stats grid = statsOf(gridError);
    const Stats gridAbs = statsOf(gridErrorAbs);
    const Stats period = statsOf(periodErrorAbs);
    const Stats latency = statsOf(labelLatencyMs);
    // An answer's labels are on the screen with the last label paint before the next answer
    // comes in. Labels whose text did not change are not painted again; an answer that changed
    // none has no paint to measure.
    std::vector<double> paintLatencyMs;
    for (size_t k = 0; k < answerNs.size(); ++k) {
        const qint64 until = k + 1 < answerNs.size() ? answerNs[k + 1] : clock.nsecsElapsed();
        qint64 last = 0;
        for (qint64 p : paints.paintNs) {
            if (p > answerNs[k] && p < until)
                last = p;
        }
        if (last)
            paintLatencyMs.push_back(double(last - answerNs[k]) / 1e6);
    }
    const Stats painted = statsOf(paintLatencyMs);
    const double cpuPercent = 100.0 * cpu / wallSeconds;
    const double peakMb = peakRssMb();

    const auto pct = [&](double ms) { return 100.0 * ms / interval; };
    const auto row = [](const char *what, const QString &value, const char *goal, const char *met) {
        std::printf("  %-44s %-26s %-12s %s\n", what, qPrintable(value), goal, met);
    };
    const auto ms = [&](double v) {
        return QStringLiteral("%1 ms (%2 %)").arg(v, 0, 'f', 3).arg(pct(v), 0, 'f', 4);
    };
    std::printf("\n  requests %zu, answers %d, timeouts %d, error readings %d, wall %.1f s\n",
                readings, answers, timeouts, errorReadings, wallSeconds);
    if (!alarmRules.isEmpty())
        std::printf("  %lld alarm rules; answers that turned the first box to the alarm colour: %d\n",
                    static_cast<long long>(alarmRules.size()), alarmColoured);
    std::printf("\n");
    std::printf("  %-44s %-26s %-12s %s\n", "measure", "value", "goal", "met");
    row("mean period error (vs interval)", ms(meanPeriodError), "< 0.05 %",
        std::abs(pct(meanPeriodError)) < 0.05 ? "yes" : "NO");
    row("period jitter p99 |period - interval|", ms(period.p99), "< 1 ms",
        period.p99 < 1 ? "yes" : "NO");
    row("grid error mean (request - ideal grid)", ms(grid.mean), "", "");
    row("grid error p50 |request - ideal grid|", ms(gridAbs.p50), "", "");
    row("grid error p99 |request - ideal grid|", ms(gridAbs.p99), "< 1 ms",
        gridAbs.p99 < 1 ? "yes" : "NO");
    row("grid error max |request - ideal grid|", ms(gridAbs.max), "", "");
    row("grid error of the last request (drift)", ms(gridError.empty() ? 0 : gridError.back()), "",
        "");
    row("last character -> labels set, p50", QStringLiteral("%1 ms").arg(latency.p50, 0, 'f', 3),
        "", "");
    row("last character -> labels set, p99", QStringLiteral("%1 ms").arg(latency.p99, 0, 'f', 3),
        "< 2 ms", latency.p99 < 2 ? "yes" : "NO");
    row("last character -> labels painted, p50",
        QStringLiteral("%1 ms (n=%2)").arg(painted.p50, 0, 'f', 3).arg(painted.count), "", "");
    row("last character -> labels painted, p99",
        QStringLiteral("%1 ms").arg(painted.p99, 0, 'f', 3), "", "");
    row("CPU time per reading",
        QStringLiteral("%1 ms").arg(readings ? 1000.0 * cpu / double(readings) : 0, 0, 'f', 3), "",
        "");
    row("CPU load (of one core)", QStringLiteral("%1 %").arg(cpuPercent, 0, 'f', 3), "< 1 %",
        cpuPercent < 1 ? "yes" : "NO");
    row("peak resident memory", QStringLiteral("%1 MB").arg(peakMb, 0, 'f', 1), "< 80 MB",
        peakMb < 80 ? "yes" : "NO");

    // The same keys as reference_reader's. The program's latency is up to the labels being set,
    // its nearest point to the reference's "decoded".
    std::printf("\n");
    const auto result = [](const char *key, double value) {
        std::printf("result %s %.6g\n", key, value);
    };
    result("requests", double(readings));
    result("answers", answers);
    result("timeouts", timeouts);
    result("wall_s", wallSeconds);
    result("cpu_s", cpu);
    result("cpu_ms_per_reading", readings ? 1000.0 * cpu / double(readings) : 0);
    result("cpu_percent", cpuPercent);
    result("grid_error_p50_ms", gridAbs.p50);
    result("grid_error_p99_ms", gridAbs.p99);
    result("grid_error_max_ms", gridAbs.max);
    result("period_jitter_p99_ms", period.p99);
    result("latency_p50_ms", latency.p50);
    result("latency_p99_ms", latency.p99);
    result("painted_p50_ms", painted.p50);
    result("painted_p99_ms", painted.p99);
    result("peak_rss_mb", peakMb);
    result("nice", nice);
    std::fflush(stdout);
    return readings > 0 && answers > 0 ? 0 : 1;
}
