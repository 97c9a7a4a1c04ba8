#pragma once

// What the benchmarks share: the card simulator they measure against and the process figures
// they report.

#include <QProcess>
#include <QString>
#include <QStringList>

namespace tervalo::bench {

QString simulatorProgram();

// Starts the simulator and waits for its READY line; the link it announces is port 1 then. Its
// output goes to a file, so that the lines it prints for every request do not wake this process
// and count as the program's work.
bool startSimulator(QProcess &sim, const QStringList &args, const QString &outputFile);

double cpuSeconds();
double peakRssMb();
double currentRssMb();
int openFileDescriptors();

} // namespace tervalo::bench
