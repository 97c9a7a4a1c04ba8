// tervalo-log: continuous readings of the card with no display, for a lab PC without a desktop
// or a small board beside the oven. Same exchange, sampling grid and log format as the window.
// What to read and where is worked out in logger/options.cpp; here is only the process around it.

#include "logger/cardlogger.h"
#include "logger/options.h"
#include "device/portholder.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using namespace tervalo;

namespace {

int fail(const QString &message, int status = exitFailure)
{
    // The journal sorts by priority: a failure to start is an error.
    std::fputs(standardErrorIsJournal() ? "<3>" : "", stderr);
    std::fputs(qPrintable(loggerErrorText(message, status)), stderr);
    return status;
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

    const LoggerOptionsResult parsed =
        parseLoggerOptions(QCoreApplication::arguments(), readStoredChoices());
    switch (parsed.outcome) {
    case LoggerOptionsResult::Outcome::Run:
        break;
    case LoggerOptionsResult::Outcome::Help:
    case LoggerOptionsResult::Outcome::Version:
        std::fputs(qPrintable(parsed.text), stdout);
        return parsed.exitStatus;
    case LoggerOptionsResult::Outcome::UsageError:
    case LoggerOptionsResult::Outcome::Failure:
        return fail(parsed.text, parsed.exitStatus);
    }
    const LoggerOptions &options = parsed.options;

    // The ports are numbered as the window numbers them, but none is opened to find them: an
    // open toggles the modem lines of whatever instrument is on the other end.
    const QList<SerialPortEntry> ports = enumerateSerialPorts();
    if (options.listPorts) {
        for (const SerialPortEntry &port : ports) {
            const std::optional<PortHolder> holder = portHolder(port.device);
            std::printf("%d\t%s%s\n", port.number, qPrintable(port.device),
                        holder ? qPrintable(QStringLiteral("\tbusy: ") + holderText(*holder)) : "");
        }
        return 0;
    }
    const PortChoice port = choosePort(options, ports);
    if (!port.failure.isEmpty())
        return fail(port.failure);

    CardLogger logger;
    logger.setJournal(standardErrorIsJournal());
    // SIGINT and SIGTERM end the run after the reading in progress, through the event loop, and
    // so does SIGHUP: the terminal of an ssh session that dropped is no reason to cut a record.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return fail(QStringLiteral("cannot set up signal handling"));
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A closed pipe on standard output ("| head") is a failed write to deal with, not a death
    // between a record on the screen and the same record in the log.
    std::signal(SIGPIPE, SIG_IGN);
    // A log that reaches a file-size limit (ulimit -f, a service's LimitFSIZE) is a failed write,
    // reported and taken back like one on a full disk, not a death in the middle of a record.
    std::signal(SIGXFSZ, SIG_IGN);

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &logger, [&logger] {
        char byte;
        [[maybe_unused]] const ssize_t read = ::read(signalPipe[0], &byte, 1);
        logger.stop();
    });
    QObject::connect(&logger, &CardLogger::finished, &app, [](int status) { QCoreApplication::exit(status); });
    if (!logger.start(options, port))
        return exitFailure;
    return app.exec();
}
