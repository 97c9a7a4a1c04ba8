#include "logger/options.h"

#include "acquisition/ratetable.h"
#include "common/cardrules.h"
#include "settings/startupsettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <optional>

namespace tervalo {

namespace {

// Takes what the window's start would put into its controls.
class ChoicesWindow : public RegistryManagement::SettingsWindow
{
public:
    void setChannelValue(int index, int16_t value) override
    {
        choices.checked[size_t(index)] = value == 1;
    }
    void setAddressText(const std::string &text) override
    {
        choices.address = QString::fromStdString(text);
    }
    void setDataOutputValueToTrue(const std::string &text) override
    {
        choices.unit = QString::fromStdString(text);
    }

    StoredChoices choices;
};

LoggerOptionsResult usageError(const QString &message)
{
    return {LoggerOptionsResult::Outcome::UsageError, {}, message, exitUsage};
}

LoggerOptionsResult failure(const QString &message)
{
    return {LoggerOptionsResult::Outcome::Failure, {}, message, exitFailure};
}

// "90", "90s", "15m", "12h", "2d": a whole number of seconds, minutes, hours or days.
std::optional<qint64> parseDuration(const QString &text)
{
    static const std::pair<QChar, qint64> units[] = {
        {QLatin1Char('s'), 1000}, {QLatin1Char('m'), 60000}, {QLatin1Char('h'), 3600000},
        {QLatin1Char('d'), 86400000}};
    QString digits = text;
    qint64 scale = 1000;
    for (const auto &[letter, ms] : units) {
        if (text.endsWith(letter)) {
            digits.chop(1);
            scale = ms;
        }
    }
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok);
    // A year at most: beyond that a typo is far likelier than a plan.
    if (!ok || value <= 0 || digits.startsWith(QLatin1Char('+')) || value > 366LL * 86400000 / scale)
        return std::nullopt;
    return value * scale;
}

// Whether a record could be appended to the file: it is writable, or it does not exist yet and
// its folder is. Nothing is created: as in the window, the first record creates the file.
bool logWritable(const QString &path)
{
    const QFileInfo file(path);
    if (file.exists())
        return file.isFile() && file.isWritable();
    const QFileInfo folder(file.absolutePath());
    return folder.isDir() && folder.isWritable();
}

// The system's ports are named without their folder ("ttyUSB0"); a link to a device names the
// same port as the device.
QString canonicalDevice(const QString &device)
{
    return QFileInfo(device.contains(QLatin1Char('/')) ? device : QStringLiteral("/dev/") + device)
        .canonicalFilePath();
}

} // namespace

StoredChoices readStoredChoices()
{
    ChoicesWindow window;
    const RegistryManagement::AppliedSettings applied = RegistryManagement::applySettings(window);
    window.choices.portListPosition = applied.portListPosition;
    window.choices.rateListPosition = applied.rateListPosition;
    return window.choices;
}

LoggerOptionsResult parseLoggerOptions(const QStringList &arguments, const StoredChoices &stored)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reads the thermocouple card continuously without a display. Each reading goes to\n"
        "standard output as its CSV record and, with --log, is appended to a log in the\n"
        "window's format. Settings not given are the ones the window was last set up with."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port number, as the window lists it."),
                                        QStringLiteral("N"));
    const QCommandLineOption deviceOption(QStringLiteral("device"),
                                          QStringLiteral("Serial device, e.g. /dev/ttyUSB0."),
                                          QStringLiteral("PATH"));
    const QCommandLineOption addressOption(QStringLiteral("address"),
                                           QStringLiteral("Card address, 0 to 7."),
                                           QStringLiteral("N"));
    const QCommandLineOption unitOption(QStringLiteral("unit"),
                                        QStringLiteral("r (raw), c (Celsius) or f (Fahrenheit)."),
                                        QStringLiteral("U"));
    const QCommandLineOption rateOption(
        QStringLiteral("rate"), QStringLiteral("Sample rate, e.g. 3sps, 6spm, 1sph."),
        QStringLiteral("CODE"));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("Append every record to this CSV file."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption keepOption(
        QStringLiteral("keep-running"),
        QStringLiteral("Go on after a time-out or a lost device, reopening the same device."));
    const QCommandLineOption countOption(QStringLiteral("count"),
                                         QStringLiteral("End after N readings."),
                                         QStringLiteral("N"));
    const QCommandLineOption durationOption(
        QStringLiteral("duration"),
        QStringLiteral("End after this time: seconds, or a number with s, m, h or d."),
        QStringLiteral("TIME"));
    const QCommandLineOption listOption(QStringLiteral("list-ports"),
                                        QStringLiteral("List the ports that open, and end."));
    parser.addOptions({portOption, deviceOption, addressOption, unitOption, rateOption, logOption,
                       keepOption, countOption, durationOption, listOption});
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        return {LoggerOptionsResult::Outcome::Help, {}, parser.helpText(), 0};
    if (parser.isSet(QStringLiteral("version"))) {
        // The line QCommandLineParser::showVersion prints.
        return {LoggerOptionsResult::Outcome::Version, {},
                QCoreApplication::applicationName() + QLatin1Char(' ') +
                    QCoreApplication::applicationVersion() + QLatin1Char('\n'),
                0};
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    if (parser.isSet(portOption) && parser.isSet(deviceOption))
        return usageError(QStringLiteral("give --port or --device, not both"));

    LoggerOptions options;
    options.checked = stored.checked;
    options.address = stored.address;
    options.unit = stored.unit;
    options.portListPosition = stored.portListPosition;
    QString rate = QString::fromLatin1(
        rateListCodes[size_t(listPositionOrFirst(stored.rateListPosition, int(rateListCodes.size())))]
            .data());
    if (parser.isSet(addressOption)) {
        options.address = parser.value(addressOption);
        if (!isCardAddress(options.address))
            return usageError(QStringLiteral("--address must be 0 to 7"));
    }
    if (parser.isSet(unitOption)) {
        options.unit = parser.value(unitOption);
        if (!isUnitLetter(options.unit))
            return usageError(QStringLiteral("--unit must be r, c or f"));
    }
    if (parser.isSet(rateOption))
        rate = parser.value(rateOption);
    const std::optional<int> interval = sampleRateInterval(rate);
    if (!interval) {
        QStringList codes;
        for (const SampleRate &r : sampleRates)
            codes << QString::fromLatin1(r.code.data(), qsizetype(r.code.size()));
        return usageError(QStringLiteral("--rate must be one of %1").arg(codes.join(QStringLiteral(", "))));
    }
    options.intervalMs = *interval;
    if (parser.isSet(countOption)) {
        bool ok = false;
        options.count = parser.value(countOption).toLongLong(&ok);
        if (!ok || options.count <= 0)
            return usageError(QStringLiteral("--count must be a whole number above 0"));
    }
    if (parser.isSet(durationOption)) {
        const std::optional<qint64> ms = parseDuration(parser.value(durationOption));
        if (!ms)
            return usageError(QStringLiteral("--duration must be a time such as 90, 90s, 15m, 12h or 2d"));
        options.durationMs = *ms;
    }
    options.keepRunning = parser.isSet(keepOption);
    options.logFile = parser.value(logOption);
    if (parser.isSet(logOption) && (options.logFile.isEmpty() || !logWritable(options.logFile)))
        return failure(QStringLiteral("cannot write the log '%1'").arg(options.logFile));
    options.listPorts = parser.isSet(listOption);
    // Listing the ports needs no port: a --port that names none does not stop the list.
    if (parser.isSet(portOption) && !options.listPorts) {
        bool ok = false;
        const int number = parser.value(portOption).toInt(&ok);
        if (!ok || number < 1)
            return usageError(QStringLiteral("--port must be a port number, see --list-ports"));
        options.portNumber = number;
    }
    if (parser.isSet(deviceOption))
        options.device = parser.value(deviceOption);
    return {LoggerOptionsResult::Outcome::Run, options, {}, 0};
}

QString loggerErrorText(const QString &message, int exitStatus)
{
    QString text = QStringLiteral("tervalo-log: %1\n").arg(message);
    if (exitStatus == exitUsage)
        text += QStringLiteral("Try 'tervalo-log --help'.\n");
    return text;
}

PortChoice choosePort(const LoggerOptions &options, const QList<ProbedPort> &ports)
{
    if (options.portNumber)
        return {*options.portNumber, {}};
    if (options.device) {
        const QString wanted = canonicalDevice(*options.device);
        for (const ProbedPort &port : ports) {
            if (!wanted.isEmpty() && canonicalDevice(port.device) == wanted)
                return {port.number, {}};
        }
        return {0, QStringLiteral("cannot open '%1': not a serial port that opens now (see --list-ports)")
                       .arg(*options.device)};
    }
    if (ports.isEmpty())
        return {0, QStringLiteral("no serial port opens (see --list-ports)")};
    return {ports[listPositionOrFirst(options.portListPosition, int(ports.size()))].number, {}};
}

} // namespace tervalo
