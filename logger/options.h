// What one tervalo-log run is to do, worked out from its command line and the choices the window
// was last set up with. Kept apart from main() so every option can be checked in process, without
// starting the program or opening a port.

#pragma once

#include "device/cardexchange.h"
#include "device/protocol.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace tervalo {

inline constexpr int exitFailure = 1; // the run cannot start or ended by a failure
inline constexpr int exitUsage = 2;   // the command line is wrong

// The window's choices that fill in whatever the command line leaves out.
struct StoredChoices
{
    std::array<bool, channelCount> checked{true, true, true, true, true, true};
    QString address = QStringLiteral("0");
    QString unit = QStringLiteral("r");
    int portListPosition = 0; // in the list of ports that open, as the window fills it
    int rateListPosition = 0; // in rateListCodes
};

// The choices as the window's start applies them. Nothing is written to the settings, not even
// the defaults a first start of the window would store.
StoredChoices readStoredChoices();

// One run as the command line and the stored choices make it.
struct LoggerOptions
{
    // Which port: the number given with --port, else the device given with --device, else the
    // window's remembered position in the list of ports that open (see choosePort).
    std::optional<int> portNumber;
    std::optional<QString> device; // as given
    int portListPosition = 0;
    QString address = QStringLiteral("0");
    QString unit = QStringLiteral("r");
    int intervalMs = 333;
    std::array<bool, channelCount> checked{true, true, true, true, true, true};
    QString logFile;          // empty: standard output only
    bool keepRunning = false; // time-outs and a lost device do not end the run
    qint64 count = 0;         // readings after which the run ends; 0: no limit
    qint64 durationMs = 0;    // time after which the run ends; 0: no limit
    bool listPorts = false;   // list the ports that open instead of reading
};

struct LoggerOptionsResult
{
    enum class Outcome { Run, Help, Version, UsageError, Failure };

    Outcome outcome = Outcome::Run;
    LoggerOptions options; // only for Run
    // Help and Version: the text for standard output. UsageError and Failure: the message, to be
    // passed through loggerErrorText.
    QString text;
    // 0 for Run, Help and Version; exitUsage or exitFailure for the errors.
    int exitStatus = 0;
};

// `arguments` starts with the program's name, as QCoreApplication::arguments() does. The help
// and version texts use the application's name and version.
LoggerOptionsResult parseLoggerOptions(const QStringList &arguments, const StoredChoices &stored);

// What standard error gets for a message that ends the run with `exitStatus`: the program's name
// before it and, for a usage error, where to find the right usage.
QString loggerErrorText(const QString &message, int exitStatus);

// The port number to open, among the ports that open now; with neither --port nor --device the
// remembered list position, or the first port when that is beyond today's list. On a failure
// (exit status exitFailure) portNumber is 0 and failure holds the message.
struct PortChoice
{
    int portNumber = 0;
    QString failure;
};
PortChoice choosePort(const LoggerOptions &options, const QList<ProbedPort> &ports);

} // namespace tervalo
