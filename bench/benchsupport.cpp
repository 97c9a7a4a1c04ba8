#include "bench/benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <sys/resource.h>

namespace tervalo::bench {

PrivateFolders::PrivateFolders()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

double peakRssMb()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
}

QString simulatorProgram()
{
    const QString configured = qEnvironmentVariable("TERVALO_SIMULATOR");
    if (!configured.isEmpty())
        return configured;
    if (QFileInfo::exists(QStringLiteral(TERVALO_SIMULATOR_BUILD_PATH)))
        return QStringLiteral(TERVALO_SIMULATOR_BUILD_PATH);
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/tervalo-sim");
}

bool startSimulator(QProcess &sim, const QStringList &args, const QString &outputFile)
{
    sim.setStandardOutputFile(outputFile);
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(simulatorProgram(), args);
    if (!sim.waitForStarted(5000))
        return false;
    QFile output(outputFile);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 5000) {
        if (output.open(QIODevice::ReadOnly)) {
            if (output.readAll().contains("READY "))
                return true;
            output.close();
        }
        if (sim.waitForFinished(50))
            return false;
    }
    return false;
}

double currentRssMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return 0;
}

int openFileDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System |
                                                               QDir::NoDotAndDotDot).size());
}

QString linkAnnounced(const QString &outputFile)
{
    QFile output(outputFile);
    if (!output.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : output.readAll().split('\n')) {
        if (line.startsWith("READY "))
            return QString::fromLocal8Bit(line.split(' ').value(1));
    }
    return {};
}

Results parseResults(const QByteArray &output)
{
    Results results;
    for (const QByteArray &line : output.split('\n')) {
        const QList<QByteArray> words = line.trimmed().split(' ');
        if (words.size() == 3 && words[0] == "result")
            results[QString::fromLatin1(words[1])] = words[2].toDouble();
    }
    return results;
}

double loadAverage1()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.readAll().split(' ').value(0).toDouble();
}

} // namespace tervalo::bench
