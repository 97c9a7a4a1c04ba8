// Start-up time: from the moment the process is started to the end of the main window's load
// step (settings, port probe, rate list), the splash window's three seconds left out. Each run is
// a fresh process, so loading the program and Qt counts too.
//
//   startup_bench [--runs 15]        with the card simulator as port 1, and with no port at all

#include "app/frmmain.h"
#include "bench/benchsupport.h"
#include "device/portnumbering.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace tervalo;
using namespace tervalo::bench;

namespace {

// The measured process: the program's own start, minus the splash.
int loadOnce(int argc, char *argv[], bool withPorts)
{
    QApplication app(argc, argv);
    if (!withPorts)
        setSystemSerialPortsListed(false);
    frmMain window;
    window.endProgram = [] {};
    window.Show();
    std::printf("LOADED %d\n", window.cmbPort->count());
    std::fflush(stdout);
    return 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 2 && (qstrcmp(argv[1], "--child") == 0 || qstrcmp(argv[1], "--child-no-system-ports") == 0))
        return loadOnce(argc, argv, qstrcmp(argv[1], "--child") == 0);

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption runsOption(QStringLiteral("runs"), QStringLiteral("Runs of each case."),
                                        QStringLiteral("n"), QStringLiteral("15"));
    parser.addOption(runsOption);
    parser.process(app);
    const int runs = std::max(3, parser.value(runsOption).toInt());

    QTemporaryDir runtime;
    QTemporaryDir config;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    if (env.value(QStringLiteral("DISPLAY")).isEmpty())
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    const auto measure = [&](const QString &mode, int *ports) {
        std::vector<double> times;
        for (int i = 0; i < runs; ++i) {
            QProcess child;
            child.setProcessEnvironment(env);
            QElapsedTimer clock;
            clock.start();
            child.start(QCoreApplication::applicationFilePath(), {mode});
            while (!child.canReadLine() && child.waitForReadyRead(10000)) {
            }
            const double ms = double(clock.nsecsElapsed()) / 1e6;
            const QByteArray line = child.readLine();
            child.waitForFinished(10000);
            if (!line.startsWith("LOADED"))
                return std::vector<double>{};
            *ports = line.mid(7).trimmed().toInt();
            if (i > 0) // the first run warms the file cache
                times.push_back(ms);
        }
        return times;
    };

    int ports = 0;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QProcess sim;
    if (!startSimulator(sim, {}, runtime.filePath(QStringLiteral("sim.out")))) {
        std::fprintf(stderr, "startup_bench: cannot start %s\n", qPrintable(simulatorProgram()));
        return 1;
    }
    const std::vector<double> withSim = measure(QStringLiteral("--child"), &ports);
    const int simPorts = ports;
    sim.terminate();
    sim.waitForFinished(3000);
    const std::vector<double> noPort = measure(QStringLiteral("--child-no-system-ports"), &ports);
    if (withSim.empty() || noPort.empty()) {
        std::fprintf(stderr, "startup_bench: a child did not load\n");
        return 1;
    }
    std::printf("| case | ports found | median | fastest | slowest | goal | met |\n|---|---|---|---|---|---|---|\n");
    for (const auto &[name, times, found] :
         {std::tuple{"card simulator and the system's ports", withSim, simPorts},
          std::tuple{"no port at all", noPort, ports}}) {
        const double med = median(times);
        std::printf("| %s | %d | %.1f ms | %.1f ms | %.1f ms | < 100 ms | %s |\n", name, found, med,
                    *std::min_element(times.begin(), times.end()),
                    *std::max_element(times.begin(), times.end()), med < 100 ? "yes" : "NO");
    }
    return 0;
}
