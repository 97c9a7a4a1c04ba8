// tervalo-log: continuous readings of the card with no display, for a lab PC without a desktop
// or a small board beside the oven. Same exchange, sampling grid and log format as the window.

#include "acquisition/ratetable.h"
#include "common/cardrules.h"
#include "device/cardexchange.h"
#include "logger/cardlogger.h"
#include "settings/startupsettings.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

using namespace tervalo;

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

// The user's stored choices, read as the window reads them at its start; nothing is written.
class StoredChoices : public RegistryManagement::SettingsWindow
{
public:
    void setChannelValue(int index, int16_t value) override { checked[size_t(index)] = value == 1; }
    void setAddressText(const std::string &text) override { address = QString::fromStdString(text); }
    void setDataOutputValueToTrue(const std::string &text) override
    {
        unit = QString::fromStdString(text);
    }

    std::array<bool, channelCount> checked{true, true, true, true, true, true};
    QString address = QStringLiteral("0");
    QString unit = QStringLiteral("r");
};

int usageError(const QString &text)
{
    std::fprintf(stderr, "tervalo-log: %s\nTry 'tervalo-log --help'.\n", qPrintable(text));
    return exitUsage;
}

int failure(const QString &text)
{
    std::fprintf(stderr, "tervalo-log: %s\n", qPrintable(text));
    return exitFailure;
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

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tervalo-log"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                .arg(TERVALO_VERSION_MAJOR)
                                                .arg(TERVALO_VERSION_MINOR)
                                                .arg(TERVALO_VERSION_PATCH));

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
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    if (parser.isSet(portOption) && parser.isSet(deviceOption))
        return usageError(QStringLiteral("give --port or --device, not both"));

    StoredChoices stored;
    RegistryManagement::applySettings(stored);

    LoggerSetup setup;
    setup.checked = stored.checked;
    setup.address = stored.address;
    setup.unit = stored.unit;
    QString rate = QString::fromLatin1(
        rateListCodes[size_t(listPositionOrFirst(RegistryManagement::savedSampleRateIndex,
                                                 int(rateListCodes.size())))]
            .data());
    if (parser.isSet(addressOption)) {
        setup.address = parser.value(addressOption);
        if (!isCardAddress(setup.address))
            return usageError(QStringLiteral("--address must be 0 to 7"));
    }
    if (parser.isSet(unitOption)) {
        setup.unit = parser.value(unitOption);
        if (!isUnitLetter(setup.unit))
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
    setup.intervalMs = *interval;
    if (parser.isSet(countOption)) {
        bool ok = false;
        setup.count = parser.value(countOption).toLongLong(&ok);
        if (!ok || setup.count <= 0)
            return usageError(QStringLiteral("--count must be a whole number above 0"));
    }
    if (parser.isSet(durationOption)) {
        const std::optional<qint64> ms = parseDuration(parser.value(durationOption));
        if (!ms)
            return usageError(QStringLiteral("--duration must be a time such as 90, 90s, 15m, 12h or 2d"));
        setup.durationMs = *ms;
    }
    setup.keepRunning = parser.isSet(keepOption);
    setup.logFile = parser.value(logOption);
    if (parser.isSet(logOption) && (setup.logFile.isEmpty() || !logWritable(setup.logFile)))
        return failure(QStringLiteral("cannot write the log '%1'").arg(setup.logFile));

    CardLogger logger;
    const QList<ProbedPort> ports = logger.probePorts();
    if (parser.isSet(listOption)) {
        for (const ProbedPort &port : ports)
            std::printf("%d\t%s\n", port.number, qPrintable(port.device));
        return 0;
    }
    if (parser.isSet(portOption)) {
        bool ok = false;
        setup.portNumber = parser.value(portOption).toInt(&ok);
        if (!ok || setup.portNumber < 1)
            return usageError(QStringLiteral("--port must be a port number, see --list-ports"));
    } else if (parser.isSet(deviceOption)) {
        // The system's ports are named without their folder ("ttyUSB0"); a link to a device
        // names the same port as the device.
        const auto canonical = [](const QString &device) {
            return QFileInfo(device.contains(QLatin1Char('/')) ? device
                                                                : QStringLiteral("/dev/") + device)
                .canonicalFilePath();
        };
        const QString wanted = canonical(parser.value(deviceOption));
        setup.portNumber = 0;
        for (const ProbedPort &port : ports) {
            if (!wanted.isEmpty() && canonical(port.device) == wanted)
                setup.portNumber = port.number;
        }
        if (setup.portNumber == 0)
            return failure(QStringLiteral("cannot open '%1': not a serial port that opens now (see --list-ports)")
                               .arg(parser.value(deviceOption)));
    } else {
        // The window's remembered list position; beyond today's list, the first port.
        if (ports.isEmpty())
            return failure(QStringLiteral("no serial port opens (see --list-ports)"));
        setup.portNumber =
            ports[listPositionOrFirst(RegistryManagement::savedPortIndex, int(ports.size()))].number;
    }

    // SIGINT and SIGTERM end the run after the reading in progress, through the event loop.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return failure(QStringLiteral("cannot set up signal handling"));
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed pipe on standard output ("| head") is a failed write to deal with, not a death
    // between a record on the screen and the same record in the log.
    std::signal(SIGPIPE, SIG_IGN);

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &logger, [&logger] {
        char byte;
        [[maybe_unused]] const ssize_t read = ::read(signalPipe[0], &byte, 1);
        logger.stop();
    });
    QObject::connect(&logger, &CardLogger::finished, &app, [](int status) { QCoreApplication::exit(status); });
    if (!logger.start(setup))
        return failure(QStringLiteral("cannot open port %1: Comm Port Not Available").arg(setup.portNumber));
    return app.exec();
}
