#include "logger/options.h"

#include "acquisition/ratetable.h"
#include "common/cardrules.h"
#include "settings/startupsettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cmath>
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

// "1,2,3": the channels named once or more, at least one, each 1 to 6.
std::optional<std::array<bool, channelCount>> parseChannels(const QString &text)
{
    std::array<bool, channelCount> checked{};
    bool any = false;
    for (const QString &item : text.split(QLatin1Char(','))) {
        bool ok = false;
        const int channel = item.trimmed().toInt(&ok);
        if (!ok || channel < 1 || channel > channelCount || item.trimmed().startsWith(QLatin1Char('+')))
            return std::nullopt;
        checked[size_t(channel - 1)] = any = true;
    }
    if (!any)
        return std::nullopt;
    return checked;
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

// Why a rule can never fire in a run that reads `unit`, or nothing when it can: degrees and raw
// counts do not convert into each other, so such a rule would sit silent through the whole run.
QString unitMismatch(const AlarmRule &rule, const QString &unit)
{
    if (AlarmMonitor::applies(rule, unit))
        return {};
    const auto name = [](const QString &letter) {
        return letter == QLatin1String("r") ? QStringLiteral("raw counts") : unitName(letter);
    };
    const QString instead =
        unit == QLatin1String("r")
            ? QStringLiteral("give the limit in raw counts or use --unit c or f")
            : QStringLiteral("give the limit in C or F or use --unit r");
    return QStringLiteral("is in %1 and the run reads %2; %3")
        .arg(name(rule.unit), name(unit), instead);
}

} // namespace

StoredChoices readStoredChoices()
{
    ChoicesWindow window;
    const RegistryManagement::AppliedSettings applied = RegistryManagement::applySettings(window);
    window.choices.rateListPosition = applied.rateListPosition;
    const RegistryManagement::RegValue device =
        RegistryManagement::readKeyValue(RegistryManagement::SETTINGS_KEY, "Port Device");
    if (device.isText())
        window.choices.portDevice = QString::fromStdString(device.text);
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
    // -V as well as -v: services and scripts ask with either.
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("V"), QStringLiteral("version")},
                                           QStringLiteral("Displays version information."));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port number, as the window lists it."),
                                        QStringLiteral("N"));
    const QCommandLineOption deviceOption(QStringLiteral("device"),
                                          QStringLiteral("Serial device, e.g. /dev/ttyUSB0."),
                                          QStringLiteral("PATH"));
    const QCommandLineOption addressOption(
        QStringLiteral("address"),
        QStringLiteral("Card address, 0 to 7; several cards on the line as a list, e.g. 0,3,5, "
                       "asked in turn at every tick."),
        QStringLiteral("N[,N...]"));
    const QCommandLineOption unitOption(QStringLiteral("unit"),
                                        QStringLiteral("r (raw), c (Celsius) or f (Fahrenheit)."),
                                        QStringLiteral("U"));
    const QCommandLineOption rateOption(
        QStringLiteral("rate"), QStringLiteral("Sample rate, e.g. 3sps, 6spm, 1sph."),
        QStringLiteral("CODE"));
    const QCommandLineOption logOption(
        QStringLiteral("log"),
        QStringLiteral("Append every record to this CSV file; %a in the name stands for the "
                       "card's address, and is needed with several cards (oven-%a.csv)."),
        QStringLiteral("FILE"));
    const QCommandLineOption keepOption(
        QStringLiteral("keep-running"),
        QStringLiteral("Go on after a time-out or a lost device, reopening the same device."));
    const QCommandLineOption countOption(QStringLiteral("count"),
                                         QStringLiteral("End after N readings (with several cards, N rounds)."),
                                         QStringLiteral("N"));
    const QCommandLineOption durationOption(
        QStringLiteral("duration"),
        QStringLiteral("End after this time: seconds, or a number with s, m, h or d."),
        QStringLiteral("TIME"));
    const QCommandLineOption listOption(
        QStringLiteral("list-ports"),
        QStringLiteral("List the ports, with who holds the busy ones, and end. Opens none."));
    const QCommandLineOption channelsOption(
        QStringLiteral("channels"),
        QStringLiteral("The channels to read, e.g. 1,2,3; the others are logged as disabled."),
        QStringLiteral("LIST"));
    const QCommandLineOption timeOption(
        QStringLiteral("time"),
        QStringLiteral("How records give the date and time: 'local' as the window writes them, or "
                       "'iso' (ISO 8601 with milliseconds and the offset from UTC)."),
        QStringLiteral("STYLE"));
    const QCommandLineOption headerOption(
        QStringLiteral("header"), QStringLiteral("Print a line naming the columns before the records."));
    const QCommandLineOption quietOption(
        QStringLiteral("quiet"), QStringLiteral("Say nothing on standard error but warnings and errors."));
    const QCommandLineOption alarmOption(
        QStringLiteral("alarm"),
        QStringLiteral("Raise an alarm on a rule such as ch3>250C, ch1<-10 or ch6:open (a limit "
                       "without C, F or raw is in the run's unit). May be given more than once."),
        QStringLiteral("RULE"));
    const QCommandLineOption hysteresisOption(
        QStringLiteral("alarm-hysteresis"),
        QStringLiteral(
            "How far back past its limit a reading must be to clear an alarm, in the rule's unit "
            "(default 0)."),
        QStringLiteral("X"));
    const QCommandLineOption delayOption(
        QStringLiteral("alarm-delay"),
        QStringLiteral("Readings in a row that must meet a rule to raise its alarm (default 1)."),
        QStringLiteral("N"));
    const QCommandLineOption onAlarmOption(
        QStringLiteral("on-alarm"),
        QStringLiteral(
            "Run this shell command at each alarm raised or cleared, with the details in "
            "TERVALO_ALARM_* variables."),
        QStringLiteral("CMD"));
    const QCommandLineOption mqttOption(
        QStringLiteral("mqtt"),
        QStringLiteral("Send every reading to this MQTT broker as well: mqtt://host[:port] or "
                       "mqtts://host[:port] (TLS)."),
        QStringLiteral("URL"));
    const QCommandLineOption mqttCaOption(
        QStringLiteral("mqtt-ca"),
        QStringLiteral("The CA certificate that signed an mqtts:// broker's certificate (default: "
                       "the system's)."),
        QStringLiteral("FILE"));
    const QCommandLineOption mqttUserOption(QStringLiteral("mqtt-user"),
                                            QStringLiteral("The user name at the broker."),
                                            QStringLiteral("NAME"));
    const QCommandLineOption mqttPasswordOption(
        QStringLiteral("mqtt-password-file"),
        QStringLiteral("A file whose first line is the password at the broker (never on the "
                       "command line, where every user can read it)."),
        QStringLiteral("FILE"));
    const QCommandLineOption mqttTopicOption(
        QStringLiteral("mqtt-topic"),
        QStringLiteral("The topics' prefix (default tervalo/<host name>); readings go to "
                       "PREFIX/<port>/<address>/reading."),
        QStringLiteral("PREFIX"));
    const QCommandLineOption mqttDiscoveryOption(
        QStringLiteral("mqtt-discovery"),
        QStringLiteral("Announce each channel to Home Assistant as a temperature sensor."));
    const QCommandLineOption mqttQueueOption(
        QStringLiteral("mqtt-queue"),
        QStringLiteral("Readings kept, in order, while the broker is away (default %1); beyond "
                       "it the oldest are dropped.")
            .arg(defaultMqttQueueLimit),
        QStringLiteral("N"));
    parser.addOptions({versionOption, portOption, deviceOption, addressOption, channelsOption,
                       unitOption, rateOption, timeOption, logOption, keepOption, countOption,
                       durationOption, headerOption, quietOption, listOption, alarmOption,
                       hysteresisOption, delayOption, onAlarmOption, mqttOption, mqttCaOption,
                       mqttUserOption, mqttPasswordOption, mqttTopicOption, mqttDiscoveryOption,
                       mqttQueueOption});
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")))
        return {LoggerOptionsResult::Outcome::Help, {}, parser.helpText(), 0};
    if (parser.isSet(versionOption)) {
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
    options.storedDevice = stored.portDevice;
    if (parser.isSet(channelsOption)) {
        const std::optional<std::array<bool, channelCount>> channels =
            parseChannels(parser.value(channelsOption));
        if (!channels)
            return usageError(QStringLiteral("--channels must list channels 1 to 6, e.g. 1,2,3"));
        options.checked = *channels;
    }
    if (parser.isSet(timeOption)) {
        const QString style = parser.value(timeOption);
        if (style != QLatin1String("iso") && style != QLatin1String("local"))
            return usageError(QStringLiteral("--time must be local or iso"));
        options.timeStyle = style == QLatin1String("iso") ? RecordTimeStyle::Iso : RecordTimeStyle::Locale;
    }
    options.header = parser.isSet(headerOption);
    options.quiet = parser.isSet(quietOption);
    QString rate = QString::fromLatin1(
        rateListCodes[size_t(listPositionOrFirst(stored.rateListPosition, int(rateListCodes.size())))]
            .data());
    options.addresses = {options.address};
    if (parser.isSet(addressOption)) {
        options.addresses = parser.value(addressOption).split(QLatin1Char(','));
        for (const QString &address : options.addresses) {
            if (!isCardAddress(address))
                return usageError(QStringLiteral("--address must be 0 to 7"));
        }
        for (qsizetype i = 1; i < options.addresses.size(); ++i) {
            if (options.addresses.indexOf(options.addresses[i]) < i)
                return usageError(QStringLiteral("--address lists %1 twice").arg(options.addresses[i]));
        }
        options.address = options.addresses.first();
    }
    if (parser.isSet(unitOption)) {
        options.unit = parser.value(unitOption);
        if (!isUnitLetter(options.unit))
            return usageError(QStringLiteral("--unit must be r, c or f"));
    }
    // The rules are checked against the run's unit, whether --unit gave it or the window did.
    for (const QString &text : parser.values(alarmOption)) {
        const std::optional<AlarmRule> rule = parseAlarmRule(text);
        if (!rule)
            return usageError(
                QStringLiteral("--alarm '%1' is not a rule such as ch3>250C, ch1<-10 or ch6:open")
                    .arg(text));
        if (const QString why = unitMismatch(*rule, options.unit); !why.isEmpty())
            return usageError(QStringLiteral("--alarm '%1' %2").arg(text, why));
        options.alarmRules.append(*rule);
    }
    if (parser.isSet(hysteresisOption)) {
        bool ok = false;
        options.alarmHysteresis = parser.value(hysteresisOption).toDouble(&ok);
        if (!ok || !std::isfinite(options.alarmHysteresis) || options.alarmHysteresis < 0)
            return usageError(
                QStringLiteral("--alarm-hysteresis must be a number of 0 or more, e.g. 2.5"));
    }
    if (parser.isSet(delayOption)) {
        bool ok = false;
        options.alarmDelay = parser.value(delayOption).toInt(&ok);
        if (!ok || options.alarmDelay < 1)
            return usageError(
                QStringLiteral("--alarm-delay must be a whole number of readings above 0"));
    }
    if (parser.isSet(onAlarmOption)) {
        options.onAlarm = parser.value(onAlarmOption);
        if (options.onAlarm.trimmed().isEmpty())
            return usageError(QStringLiteral("--on-alarm names no command"));
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
    // The cards share the line and answer one at a time: a round of them must fit the interval.
    const int roundMs = int(options.addresses.size()) * roundSlotMs;
    if (roundMs > options.intervalMs) {
        QString fastest;
        for (const SampleRate &r : sampleRates) {
            if (fastest.isEmpty() && r.intervalMs >= roundMs)
                fastest = QString::fromLatin1(r.code.data(), qsizetype(r.code.size()));
        }
        return usageError(QStringLiteral("--rate %1 is too fast for %2 cards: asking them in turn "
                                         "takes about %3 ms; the fastest rate that fits is %4")
                              .arg(rate)
                              .arg(options.addresses.size())
                              .arg(roundMs)
                              .arg(fastest));
    }
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
    if (parser.isSet(logOption) && options.addresses.size() > 1 &&
        !options.logFile.contains(QLatin1String("%a")))
        return usageError(QStringLiteral("--log needs %a in its name with several cards, so that each "
                                         "card has its own log (e.g. oven-%a.csv)"));
    for (const QString &address : options.addresses) {
        const QString log = cardLogFile(options.logFile, address);
        if (parser.isSet(logOption) && (log.isEmpty() || !logWritable(log)))
            return failure(QStringLiteral("cannot write the log '%1'").arg(log));
    }
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

    for (const QCommandLineOption *option : {&mqttCaOption, &mqttUserOption, &mqttPasswordOption,
                                             &mqttTopicOption, &mqttDiscoveryOption, &mqttQueueOption}) {
        if (parser.isSet(*option) && !parser.isSet(mqttOption))
            return usageError(QStringLiteral("--%1 needs --mqtt").arg(option->names().first()));
    }
    if (parser.isSet(mqttOption)) {
        QString why;
        options.mqttUrl = parser.value(mqttOption);
        options.mqtt = parseMqttUrl(options.mqttUrl, &why);
        if (!options.mqtt)
            return usageError(QStringLiteral("--mqtt: %1").arg(why));
        MqttSettings &mqtt = *options.mqtt;
        if (parser.isSet(mqttCaOption)) {
            if (!mqtt.tls)
                return usageError(QStringLiteral("--mqtt-ca needs an mqtts:// broker"));
            mqtt.caFile = parser.value(mqttCaOption);
        }
        mqtt.user = parser.value(mqttUserOption);
        if (parser.isSet(mqttPasswordOption)) {
            if (mqtt.user.isEmpty())
                return usageError(QStringLiteral("--mqtt-password-file needs --mqtt-user"));
            QFile file(parser.value(mqttPasswordOption));
            if (!file.open(QIODevice::ReadOnly))
                return failure(QStringLiteral("cannot read the password file '%1': %2")
                                   .arg(file.fileName(), file.errorString()));
            // The first line, without its end: a file written by an editor ends with one.
            mqtt.password = QString::fromUtf8(file.readLine()).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
        }
        if (parser.isSet(mqttTopicOption)) {
            mqtt.topicPrefix = parser.value(mqttTopicOption);
            // A reading's topic is built on it: a wildcard or an empty level would make it no
            // topic at all, and the broker would cut the connection at the first reading.
            if (mqtt.topicPrefix.isEmpty() || mqtt.topicPrefix.contains(QLatin1Char('+')) ||
                mqtt.topicPrefix.contains(QLatin1Char('#')) || mqtt.topicPrefix.contains(QChar(0)) ||
                mqtt.topicPrefix.endsWith(QLatin1Char('/')))
                return usageError(QStringLiteral("--mqtt-topic must be a topic such as lab/oven, "
                                                 "without + or # and not ending in /"));
        }
        mqtt.discovery = parser.isSet(mqttDiscoveryOption);
        if (parser.isSet(mqttQueueOption)) {
            bool ok = false;
            mqtt.queueLimit = parser.value(mqttQueueOption).toLongLong(&ok);
            if (!ok || mqtt.queueLimit < 1)
                return usageError(QStringLiteral("--mqtt-queue must be a whole number of readings above 0"));
        }
    }
    return {LoggerOptionsResult::Outcome::Run, options, {}, 0};
}

QString loggerErrorText(const QString &message, int exitStatus)
{
    QString text = QStringLiteral("tervalo-log: %1\n").arg(message);
    if (exitStatus == exitUsage)
        text += QStringLiteral("Try 'tervalo-log --help'.\n");
    return text;
}

PortChoice choosePort(const LoggerOptions &options, const QList<SerialPortEntry> &ports)
{
    const auto numberOf = [&ports](const QString &device) {
        const QString wanted = canonicalDevice(device);
        for (const SerialPortEntry &port : ports) {
            if (!wanted.isEmpty() && canonicalDevice(port.device) == wanted)
                return port.number;
        }
        return 0;
    };
    if (options.portNumber) {
        for (const SerialPortEntry &port : ports) {
            if (port.number == *options.portNumber)
                return {port.number, port.device, {}};
        }
        return {0, {}, QStringLiteral("there is no port %1 (see --list-ports)").arg(*options.portNumber)};
    }
    if (options.device) {
        // Kept as given: a by-id link is followed again at every reopen.
        if (options.device->isEmpty())
            return {0, {}, QStringLiteral("--device names no device")};
        // A relative path is made whole, since the serial library would look for it under /dev;
        // a link stays a link.
        const QString device = options.device->contains(QLatin1Char('/'))
                                   ? QFileInfo(*options.device).absoluteFilePath()
                                   : QStringLiteral("/dev/") + *options.device;
        return {numberOf(device), device, {}};
    }
    // The window's port, only while the device it chose is still there: its list position alone
    // could name another card today.
    const QString useDevice = QStringLiteral("give --device (see --list-ports)");
    if (options.storedDevice.isEmpty())
        return {0, {}, QStringLiteral("the window has not stored which device its port is; ") + useDevice};
    const int number = numberOf(options.storedDevice);
    if (number == 0)
        return {0, {}, QStringLiteral("the window's port %1 is not here; ").arg(options.storedDevice) + useDevice};
    return {number, options.storedDevice, {}};
}

QString cardLogFile(const QString &logFile, const QString &address)
{
    return QString(logFile).replace(QLatin1String("%a"), address);
}

QString recordHeader(bool withAddress)
{
    QString header = withAddress ? QStringLiteral("address,date,time,unit,") : QStringLiteral("date,time,unit,");
    for (int i = 1; i <= channelCount; ++i)
        header += QStringLiteral("channel %1,").arg(i);
    return header;
}

} // namespace tervalo
