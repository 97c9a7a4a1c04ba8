// tervalo-sim: a stand-in for the six-channel thermocouple card, so that Tervalo can be run,
// shown and tested without the hardware.

#include "tools/cardsimulator.h"
#include "tools/commandinput.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <unistd.h>

using namespace tervalo::sim;

namespace {

const char description[] =
    R"(Simulates Tervalo's six-channel thermocouple card, or up to eight of them sharing one line
(--address 0,3,5), on a pseudo-terminal.

The line is a pseudo-terminal set raw at 2400 baud, 8N1. The simulator announces it as the
symbolic link <folder>/<name> -> /dev/pts/N, where <folder> is $XDG_RUNTIME_DIR/tervalo (or
<tmp>/tervalo-runtime-<uid>/tervalo); Tervalo lists these links as serial ports ahead of the
system's own. The link is removed when the simulator ends (quit, SIGINT, SIGTERM, SIGHUP).

Requests and answers (no line ends, no checksum):
  request  "t", address digit 0-7, unit letter, "a"; e.g. t3ca.
           Units: r = raw converter counts, c = degrees Celsius, f = degrees Fahrenheit.
  answer   32 characters: "T", the address digit, then six 5-character fields for channels
           1 to 6, each a status character ("1" = thermocouple open, the reading means
           nothing; "0" = valid) and a 4-character reading.
  Each card answers only requests for its own address, with its own address digit and its own
  readings. Anything malformed is skipped up to the next "t". The line carries one answer at a
  time: a request that arrives while an answer is still on its way, from whichever card, is not
  answered, unless --queue is given: then it is answered after that answer, the addressed
  card's --delay ms after it arrived at the earliest.
  The answer starts --delay ms after the request's last character and is paced at 2400 baud
  (one character every 4.17 ms, 133 ms for 32) unless --no-pacing is given.

Readings, always exactly 4 characters:
  c, f  one decimal while it fits (" 5.2", "-5.2", "23.4", "99.9"), otherwise whole degrees,
        right-aligned with blanks (" 105", "1023") or, below zero, zero-padded ("-018");
        limited to -999..9999.
  r     converter counts 0..4095, linear from -200 C (0) to 1300 C (4095), right-aligned with
        blanks (" 606").
  An open thermocouple reads full scale (4095 counts, 1300 C, 2372 F) with status "1".
  Channels 1-6 sit near 22 C (room), 37 C (body), -18 C (freezer), 100 C (boiling water),
  65 C (warm bath) and 250 C (oven), each drifting slowly with a little noise. Every card drifts
  its own way, from --seed and its address, so no two cards read alike and a run with the same
  --seed repeats itself.

Faults (--fault and the "fault" command); with --fault-every N only every Nth request to
the card suffers it, each card counting its own:
  none       answer normally
  no-answer  stay silent
  short      send only the first 20 characters
  garbage    32 characters, every status "0", junk in place of the readings
  stray      one extra character (0xFF) before the answer
  extra      8 more characters (CR LF "XTRA" CR LF) after the answer
  unplug     close the pseudo-terminal without answering, remove the link, and come back
             on a new pseudo-terminal under the same name after --replug-ms; every card on
             the line goes with it

Standard output, one line each, flushed at once:
  READY <link path> <pty path>   the line is announced (again after every replug)
  REQ <request>                  a complete request was seen, for whatever address
  ANSWERED <n>                   the last of an answer's n characters went out
  UNPLUGGED                      the pseudo-terminal was closed for an unplug
  OK <command>                   a command from the standard input was carried out
  ERROR <message>                a command from the standard input was refused
Diagnostics go to standard error.

Commands on the standard input, one per line (the end of the input ends only the commands):
  fault KIND     fault-every N     open LIST (nothing after it: no channel open)
  delay MS       unplug            quit
  send TEXT      write TEXT to the line at once, as it stands, whether or not a request came:
                 a late answer, or an answer arriving while the program is busy
  card N CMD     fault, fault-every, open or delay for card N alone; without "card N" they
                 change every card. unplug, send and quit are for the whole line and take no
                 card. The options set the same starting behaviour for every card.)";

int signalPipe[2] = {-1, -1};

void forwardSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// Termination signals end the event loop like "quit" does, so the link is withdrawn on every
// way out; a handler may do no more than write a byte.
bool catchTerminationSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action
    {
    };
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(number, &action, nullptr);
    // A reader of our output that went away, or a terminal we may not use from the background,
    // must not stop the card.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTTIN, SIG_IGN);
    std::signal(SIGTTOU, SIG_IGN);
    return true;
}

// Started with a standard stream closed, the pseudo-terminal would otherwise take its number and
// we would read requests as commands or print into the line.
void keepStandardStreamsOpen()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            ::open("/dev/null", O_RDWR);
    }
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "tervalo-sim: %s (see --help)\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    keepStandardStreamsOpen();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tervalo-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    parser.addHelpOption();
    const QCommandLineOption addressOption(
        QStringLiteral("address"),
        QStringLiteral("The cards' addresses, 0 to 7, comma separated, one card each "
                       "(default 0)."),
        QStringLiteral("LIST"), QStringLiteral("0"));
    const QCommandLineOption openOption(
        QStringLiteral("open"),
        QStringLiteral("Channels (1-6, comma separated) whose thermocouple is open."),
        QStringLiteral("LIST"));
    const QCommandLineOption delayOption(
        QStringLiteral("delay"),
        QStringLiteral("Milliseconds from a request to its answer (default 20)."),
        QStringLiteral("MS"), QStringLiteral("20"));
    const QCommandLineOption noPacingOption(
        QStringLiteral("no-pacing"),
        QStringLiteral("Send each answer at once instead of at 2400 baud."));
    const QCommandLineOption faultOption(QStringLiteral("fault"),
                                         QStringLiteral("Misbehave: %1 (default none).")
                                             .arg(faultNames().join(QStringLiteral(", "))),
                                         QStringLiteral("KIND"), QStringLiteral("none"));
    const QCommandLineOption faultEveryOption(
        QStringLiteral("fault-every"),
        QStringLiteral("Apply the fault to every Nth request only (default 1)."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption replugOption(
        QStringLiteral("replug-ms"),
        QStringLiteral("Milliseconds an unplugged card stays away (default 1000)."),
        QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption seedOption(
        QStringLiteral("seed"), QStringLiteral("Seed of the temperature drift (default: random)."),
        QStringLiteral("N"));
    const QCommandLineOption linkOption(
        QStringLiteral("link"), QStringLiteral("Name of the announcing link (default card)."),
        QStringLiteral("NAME"), QStringLiteral("card"));
    const QCommandLineOption queueOption(
        QStringLiteral("queue"),
        QStringLiteral("Answer requests that arrive during an answer after it, in order."));
    parser.addOptions({addressOption, openOption, delayOption, noPacingOption, faultOption,
                       faultEveryOption, replugOption, seedOption, linkOption, queueOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    CardBehaviour behaviour;
    LineBehaviour line;
    QString addressError;
    const std::optional<QList<int>> addresses =
        parseAddressList(parser.value(addressOption), &addressError);
    const std::optional<ChannelSet> open = parseChannelList(parser.value(openOption));
    const std::optional<int> delay = parseNumber(parser.value(delayOption), 0, maxDelayMs);
    const std::optional<Fault> fault = faultFromName(parser.value(faultOption));
    const std::optional<int> every = parseNumber(parser.value(faultEveryOption), 1, maxFaultEvery);
    const std::optional<int> replug = parseNumber(parser.value(replugOption), 0, maxReplugMs);
    if (!addresses)
        return usageError(
            QStringLiteral("--address takes different addresses 0 to %1, comma separated: %2")
                .arg(maxAddress)
                .arg(addressError));
    if (!open)
        return usageError(
            QStringLiteral("--open takes channels 1 to %1, comma separated").arg(channelCount));
    if (!delay)
        return usageError(QStringLiteral("--delay must be 0 to %1 ms").arg(maxDelayMs));
    if (!fault)
        return usageError(QStringLiteral("--fault must be one of %1")
                              .arg(faultNames().join(QStringLiteral(", "))));
    if (!every)
        return usageError(QStringLiteral("--fault-every must be 1 to %1").arg(maxFaultEvery));
    if (!replug)
        return usageError(QStringLiteral("--replug-ms must be 0 to %1").arg(maxReplugMs));
    behaviour.open = *open;
    behaviour.delayMs = *delay;
    behaviour.fault = *fault;
    behaviour.faultEvery = *every;
    line.paced = !parser.isSet(noPacingOption);
    line.replugMs = *replug;
    line.queueRequests = parser.isSet(queueOption);

    quint64 seed = std::random_device{}();
    if (parser.isSet(seedOption)) {
        bool ok = false;
        seed = parser.value(seedOption).toULongLong(&ok);
        if (!ok)
            return usageError(QStringLiteral("--seed must be a whole number"));
    }
    const QString linkName = parser.value(linkOption);
    if (linkName.isEmpty() || linkName.contains(QLatin1Char('/')) ||
        linkName == QLatin1String(".") || linkName == QLatin1String(".."))
        return usageError(QStringLiteral("--link must be a plain file name"));

    if (!catchTerminationSignals()) {
        std::perror("tervalo-sim: pipe");
        return 1;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) {
        }
        QCoreApplication::quit();
    });

    CardSimulator simulator(*addresses, behaviour, line, seed, linkName);
    CommandInput commands(STDIN_FILENO);
    QObject::connect(&commands, &CommandInput::lineReceived, &simulator,
                     &CardSimulator::runCommand);

    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "tervalo-sim: %s\n", qPrintable(error));
        return 1;
    }
    return QCoreApplication::exec();
}
