#pragma once

// What the benchmarks share: the card simulator they measure against and the process figures
// they report.

#include "bench/processcpu.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>

namespace tervalo::bench {

// Settings and simulator links go to private temporary folders, so a run touches neither the
// user's settings nor their ports; without a display the windows are drawn offscreen. Call before
// the application object exists; the folders live as long as the returned object.
class PrivateFolders
{
public:
    PrivateFolders();
    QString runtimePath() const { return m_runtime.path(); }
    QString configPath() const { return m_config.path(); }
    QString runtimeFile(const QString &name) const { return m_runtime.filePath(name); }

private:
    QTemporaryDir m_runtime;
    QTemporaryDir m_config;
};

QString simulatorProgram();

// Starts the simulator and waits for its READY line; the link it announces is port 1 then. Its
// output goes to a file, so that the lines it prints for every request do not wake this process
// and count as the program's work.
bool startSimulator(QProcess &sim, const QStringList &args, const QString &outputFile);

// The link a simulator announced in its output file (its READY line); empty before that.
QString linkAnnounced(const QString &outputFile);

// The "result <key> <value>" lines every benchmark and reference program ends with.
using Results = std::map<QString, double>;
Results parseResults(const QByteArray &output);

// The load average over the last minute, -1 where the system does not say.
double loadAverage1();

double peakRssMb();
double currentRssMb();
int openFileDescriptors();

} // namespace tervalo::bench
