// A long run of readings through the real serial layer and the unpaced card simulator: the next
// request goes out as soon as an answer has been processed, with logging on and the graph window
// open. At the end every reading asked for must have been answered and logged exactly once, every
// log line whole, and memory and open descriptors no higher than after the first thousand.
//
//   soak [--readings 100000]

#include "acquisition/sessionthread.h"
#include "app/frmmain.h"
#include "bench/benchsupport.h"
#include "device/cardexchange.h"
#include "device/cardline.h"
#include "device/portnumbering.h"
#include "output/datalog.h"
#include "output/filedialog.h"
#include "output/frmgraph.h"
#include "history/historykeeper.h"
#include "output/graph.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace tervalo;
using namespace tervalo::bench;

namespace {

// Picks the log file without a person.
struct FixedDialog : SaveFileDialog
{
    QString file;
    int ShowSave(QWidget *, const QString &, QString &fileName) override
    {
        fileName = file;
        return 0;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    const PrivateFolders runtime;

    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption readingsOption(QStringLiteral("readings"),
                                            QStringLiteral("Readings to take (default 100000)."),
                                            QStringLiteral("n"), QStringLiteral("100000"));
    parser.addOption(readingsOption);
    parser.process(app);
    const long target = parser.value(readingsOption).toLong();
    if (target < 1000) {
        std::fprintf(stderr, "soak: at least 1000 readings\n");
        return 2;
    }

    setSystemSerialPortsListed(false);
    QProcess sim;
    if (!startSimulator(sim, {QStringLiteral("--no-pacing"), QStringLiteral("--delay"), QStringLiteral("0")},
                        runtime.runtimeFile(QStringLiteral("sim.out")))) {
        std::fprintf(stderr, "soak: cannot start %s\n", qPrintable(simulatorProgram()));
        return 1;
    }

    frmMain window;
    window.endProgram = [] {};
    FixedDialog dialog;
    dialog.file = runtime.runtimeFile(QStringLiteral("soak.csv"));
    window.dataLog->setDialog(&dialog);
    window.Show();
    window.chkSave->setChecked(true);
    window.graph->cmdGraph_Click();
    SessionThread &session = *window.acquisitionThread;
    const bool portOpen = session.call([](AcquisitionSession &s) { return s.line().PortOpen(); });
    if (!portOpen || !window.state.saveToDisk || !window.graph->graphVisible()) {
        std::fprintf(stderr, "soak: the window did not come up as planned\n");
        return 1;
    }

    // Count the descriptors once the run is under way: the first readings open what lives as
    // long as the program (the event loop's own notifiers, the log's folder look-ups).
    int fdsBefore = -1;
    int fdsAfter = -1;
    long requested = 0;
    long answered = 0;
    long timeouts = 0;
    double rssAfterWarmUp = 0;
    double peakAfterWarmUp = 0;
    QElapsedTimer clock;

    // Each reading has been logged by the session and shown by the window when the window
    // hears of it; that is where the next request is sent from.
    const auto next = [&] {
        if (answered >= target) {
            fdsAfter = openFileDescriptors();
            QCoreApplication::quit();
            return;
        }
        ++requested;
        session.post([](AcquisitionSession &s) { s.requestData(); });
    };
    QObject::connect(session.session(), &AcquisitionSession::readingTaken, &app, [&] {
        ++answered;
        if (answered == 1000) {
            fdsBefore = openFileDescriptors();
            rssAfterWarmUp = currentRssMb();
            peakAfterWarmUp = peakRssMb();
        }
        if (answered % 10000 == 0)
            std::fprintf(stderr, "soak: %ld readings, %.0f a second\n", answered,
                         double(answered) * 1000.0 / double(clock.elapsed()));
        QTimer::singleShot(0, next);
    });
    QObject::connect(session.session(), &AcquisitionSession::statusText, &app, [&](const QString &text) {
        if (text != timeoutText())
            return;
        ++timeouts;
        QTimer::singleShot(0, next);
    });

    const double cpuBefore = cpuSeconds();
    clock.start();
    QTimer::singleShot(0, next);
    app.exec();
    const double elapsed = double(clock.elapsed()) / 1000.0;
    const double cpu = cpuSeconds() - cpuBefore;
    const double rssEnd = currentRssMb();
    const double peakEnd = peakRssMb();

    // Every line of the log whole: date, time, unit and six four-character readings.
    QFile log(dialog.file);
    long lines = 0;
    long broken = 0;
    if (log.open(QIODevice::ReadOnly)) {
        static const QRegularExpression whole(QStringLiteral("^[^,]*,[^,]*,r,([^,]{4},){6}\r$"));
        while (!log.atEnd()) {
            const QString line = QString::fromLatin1(log.readLine()).chopped(1);
            ++lines;
            if (!whole.match(line).hasMatch())
                ++broken;
        }
    }
    sim.terminate();
    sim.waitForFinished(3000);

    const bool counts = requested == answered + timeouts && answered == lines && broken == 0;
    // The history keeps every reading since the start, by design (up to a million, measured by
    // history_bench); what it holds beyond the first thousand is not a leak.
    const double historyMb = double(window.history->records().size() - 1000) *
                             double(sizeof(HistorySample)) / (1024.0 * 1024.0);
    const double growth = rssEnd - rssAfterWarmUp - historyMb;
    std::printf("| measure | value | goal | met |\n|---|---|---|---|\n");
    std::printf("| readings requested / answered / logged | %ld / %ld / %ld | all equal | %s |\n",
                requested, answered, lines, counts && timeouts == 0 ? "yes" : "NO");
    std::printf("| time-outs | %ld | 0 | %s |\n", timeouts, timeouts == 0 ? "yes" : "NO");
    std::printf("| broken log lines | %ld | 0 | %s |\n", broken, broken == 0 ? "yes" : "NO");
    std::printf("| readings a second | %.0f | | |\n", double(answered) / elapsed);
    std::printf("| CPU per reading | %.3f ms | | |\n", cpu * 1000.0 / double(answered));
    std::printf("| resident memory after 1000 / at the end | %.1f / %.1f MB | | |\n", rssAfterWarmUp,
                rssEnd);
    std::printf("| of it the history's readings since the first 1000 | %.1f MB | | |\n", historyMb);
    std::printf("| growth beyond the history's readings | %.1f MB | < 1 MB | %s |\n", growth,
                growth < 1.0 ? "yes" : "NO");
    std::printf("| peak memory after 1000 / at the end | %.1f / %.1f MB | | |\n", peakAfterWarmUp,
                peakEnd);
    std::printf("| open descriptors after 1000 / at the end | %d / %d | equal | %s |\n", fdsBefore, fdsAfter,
                fdsBefore == fdsAfter ? "yes" : "NO");
    return counts && timeouts == 0 && growth < 1.0 && fdsBefore == fdsAfter ? 0 : 1;
}
