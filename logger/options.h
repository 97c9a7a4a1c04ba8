// What one tervalo-log run is to do, worked out from its command line and the choices the window
// was last set up with. Kept apart from main() so every option can be checked in process, without
// starting the program or opening a port.

#pragma once

#include "alarms/alarmrules.h"
#include "common/logrecord.h"
#include "device/cardexchange.h"
#include "device/portnumbering.h"
#include "device/protocol.h"
#include "logger/mqttpublisher.h"

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
    QString portDevice;       // the device behind that entry when the window stored it
    int rateListPosition = 0; // in rateListCodes
};

// The choices as the window's start applies them. Nothing is written to the settings, not even
// the defaults a first start of the window would store.
StoredChoices readStoredChoices();

// One run as the command line and the stored choices make it.
struct LoggerOptions
{
    // Which port: the number given with --port, else the device given with --device, else the
    // device the window last chose (see choosePort).
    std::optional<int> portNumber;
    std::optional<QString> device; // as given
    QString storedDevice;          // the window's choice
    QString address = QStringLiteral("0");
    // Every card to read, in the order they are asked; the first is address. Several cards share
    // the line and are asked in turn at every tick.
    QStringList addresses{QStringLiteral("0")};
    QString unit = QStringLiteral("r");
    int intervalMs = 333;
    std::array<bool, channelCount> checked{true, true, true, true, true, true};
    QString logFile;          // empty: standard output only; "%a" stands for a card's address
    bool keepRunning = false; // time-outs and a lost device do not end the run
    qint64 count = 0;         // readings after which the run ends; 0: no limit
    qint64 durationMs = 0;    // time after which the run ends; 0: no limit
    bool listPorts = false;   // list the ports instead of reading
    bool quiet = false;       // standard error gets warnings and errors only
    bool header = false;      // a header line ahead of the records on standard output
    RecordTimeStyle timeStyle = RecordTimeStyle::Locale;
    // Alarms: rules in the order given, each able to watch this run's unit; a rule without a
    // unit of its own is in the run's unit.
    QList<AlarmRule> alarmRules;
    double alarmHysteresis = 0; // in each rule's unit
    int alarmDelay = 1;         // readings in a row that raise an alarm
    QString onAlarm;            // shell command run at each alarm raised or cleared; empty: none
    // Every reading sent on to this broker as well; none without --mqtt.
    std::optional<MqttSettings> mqtt;
    QString mqttUrl; // as given, for the messages
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

// The port to open, found without opening any: the number given with --port in today's
// numbering; the device given with --device, as given (its number, when today's numbering has
// one, is for the messages only); else the device the window last chose, if it is still there.
// Never another card: a choice that cannot be made fails (exit status exitFailure) with
// failure saying what to give instead.
struct PortChoice
{
    int portNumber = 0; // 0: not among today's ports
    QString device;     // what is opened, every time the port opens
    QString failure;
};
PortChoice choosePort(const LoggerOptions &options, const QList<SerialPortEntry> &ports);

// The header line for standard output, naming the record's columns; with several cards the
// address comes first, as on each line.
QString recordHeader(bool withAddress = false);

// The log of the card at address: the --log name with every "%a" replaced by the address.
QString cardLogFile(const QString &logFile, const QString &address);

} // namespace tervalo
