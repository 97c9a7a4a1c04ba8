#include "tools/cardsimulator.h"

#include "device/simulatorfolder.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace tervalo::sim {

namespace {

// 2400 baud with 8N1 framing: ten bit times per character.
constexpr qint64 characterNs = 10 * 1'000'000'000LL / 2400;

// Our machine-readable lines go out at once; whoever started us may be waiting for them.
void report(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void diagnose(const QString &message)
{
    std::fprintf(stderr, "tervalo-sim: %s\n", qPrintable(message));
}

// Distinct for every address under one seed, since multiplying by an odd number and xor-ing
// both keep numbers apart; address 0 keeps the seed itself, so a lone card reads as it always did.
quint64 cardSeed(quint64 seed, int address)
{
    return seed ^ (quint64(address) * 0x9e3779b97f4a7c15ULL);
}

} // namespace

CardSimulator::CardSimulator(const QList<int> &addresses, const CardBehaviour &behaviour,
                             const LineBehaviour &line, quint64 seed, const QString &linkName,
                             QObject *parent)
    : QObject(parent), m_line(line), m_linkName(linkName)
{
    m_cards.reserve(std::size_t(addresses.size()));
    for (const int address : addresses)
        m_cards.push_back({address, behaviour, TemperatureModel(cardSeed(seed, address))});
    m_modelClock.start();
    m_delayTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; tests of the program's time-out set the delay
    // close to it and must not see the answer come sooner than asked.
    m_delayTimer.setTimerType(Qt::PreciseTimer);
    m_paceTimer.setSingleShot(true);
    m_paceTimer.setTimerType(Qt::PreciseTimer);
    m_replugTimer.setSingleShot(true);
    connect(&m_delayTimer, &QTimer::timeout, this, &CardSimulator::startAnswer);
    connect(&m_paceTimer, &QTimer::timeout, this, &CardSimulator::sendDueCharacters);
    connect(&m_replugTimer, &QTimer::timeout, this, &CardSimulator::replug);
}

CardSimulator::~CardSimulator()
{
    delete m_lineNotifier;
    m_link.withdraw();
    m_terminal.close();
}

CardSimulator::Card *CardSimulator::cardAt(int address)
{
    const auto found = std::find_if(m_cards.begin(), m_cards.end(), [address](const Card &card) {
        return card.address == address;
    });
    return found == m_cards.end() ? nullptr : &*found;
}

bool CardSimulator::start(QString *error)
{
    return plugIn(error);
}

bool CardSimulator::plugIn(QString *error)
{
    if (!m_terminal.open(error))
        return false;
    if (!m_link.announce(simulatorLinkFolder(), m_linkName, m_terminal.slavePath(), error)) {
        m_terminal.close();
        return false;
    }
    m_parser.reset();
    m_lineNotifier = new QSocketNotifier(m_terminal.masterFd(), QSocketNotifier::Read, this);
    connect(m_lineNotifier, &QSocketNotifier::activated, this, &CardSimulator::readLine);
    report("READY " + QFile::encodeName(m_link.path()) + ' ' +
           QFile::encodeName(m_terminal.slavePath()));
    return true;
}

void CardSimulator::unplug()
{
    endAnswer();
    m_queued.clear();
    // This may run inside the notifier's own signal, so it goes later, not now.
    if (m_lineNotifier) {
        m_lineNotifier->setEnabled(false);
        m_lineNotifier->deleteLater();
        m_lineNotifier = nullptr;
    }
    m_terminal.close();
    m_link.withdraw();
    report("UNPLUGGED");
    m_replugTimer.start(m_line.replugMs);
}

void CardSimulator::replug()
{
    QString error;
    if (!plugIn(&error)) {
        diagnose(QStringLiteral("cannot plug in again: %1").arg(error));
        QCoreApplication::exit(1);
    }
}

void CardSimulator::readLine()
{
    char buffer[256];
    const ssize_t count = ::read(m_terminal.masterFd(), buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count <= 0) {
        // Cannot happen while we hold the slave side open; should it anyway, stop listening
        // rather than spin on a line that keeps reporting the same condition.
        diagnose(QStringLiteral("the pseudo-terminal stopped delivering requests"));
        if (m_lineNotifier)
            m_lineNotifier->setEnabled(false);
        return;
    }
    for (ssize_t i = 0; i < count; ++i) {
        if (const std::optional<Request> request = m_parser.feed(buffer[i])) {
            handleRequest(*request);
            if (!m_terminal.isOpen())
                return; // unplugged: whatever else arrived went with the line
        }
    }
}

void CardSimulator::handleRequest(const Request &request)
{
    report("REQ " + request.text);
    // On a shared bus every card hears every request and only the addressed one speaks.
    Card *card = cardAt(request.address);
    if (!card)
        return;
    // The card's firmware finishes one answer before it looks at the line again. A card whose
    // UART keeps what arrives meanwhile answers it next; one without forgets it. The cards behave
    // alike here, so that two of them never talk at once and garble each other.
    if (m_busy) {
        if (m_line.queueRequests) {
            m_queued.append({request, m_modelClock.elapsed()});
            return;
        }
        diagnose(QStringLiteral("%1 arrived while still answering; not answered")
                     .arg(QString::fromLatin1(request.text)));
        return;
    }
    answer(*card, request, card->behaviour.delayMs);
}

void CardSimulator::answer(Card &card, const Request &request, int delayMs)
{
    const CardBehaviour &behaviour = card.behaviour;
    Fault fault = Fault::None;
    if (behaviour.fault != Fault::None && ++card.faultCount % quint64(behaviour.faultEvery) == 0)
        fault = behaviour.fault;
    if (fault == Fault::Unplug) {
        unplug();
        return;
    }

    const double seconds = double(m_modelClock.nsecsElapsed()) / 1e9;
    const QByteArray answer =
        buildAnswer(card.address, request.unit, card.model.sample(seconds), behaviour.open);
    m_outgoing = applyFault(answer, fault);
    if (m_outgoing.isEmpty())
        return;
    m_sent = 0;
    m_busy = true;
    m_delayTimer.start(delayMs);
}

void CardSimulator::answerComplete()
{
    report("ANSWERED " + QByteArray::number(m_outgoing.size()));
    endAnswer();
    if (m_queued.isEmpty())
        return;
    // Its delay ran from its arrival, while the previous answer was still going out.
    const QueuedRequest next = m_queued.takeFirst();
    Card &card = *cardAt(next.request.address);
    const qint64 waited = m_modelClock.elapsed() - next.arrivedMs;
    answer(card, next.request, int(std::max<qint64>(0, card.behaviour.delayMs - waited)));
}

void CardSimulator::startAnswer()
{
    if (!m_line.paced) {
        writeToLine(m_outgoing);
        answerComplete();
        return;
    }
    m_sendClock.start();
    sendDueCharacters();
}

void CardSimulator::sendDueCharacters()
{
    // Each character is due when its stop bit would have left the card's UART. Working from the
    // elapsed time rather than counting timer ticks keeps a late tick from stretching the answer.
    const qint64 elapsed = m_sendClock.nsecsElapsed();
    const qsizetype due = std::min<qsizetype>(m_outgoing.size(), elapsed / characterNs);
    if (due > m_sent) {
        writeToLine(m_outgoing.mid(m_sent, due - m_sent));
        m_sent = due;
    }
    if (m_sent >= m_outgoing.size()) {
        answerComplete();
        return;
    }
    const qint64 waitNs = (m_sent + 1) * characterNs - elapsed;
    m_paceTimer.start(std::chrono::milliseconds((waitNs + 999'999) / 1'000'000));
}

void CardSimulator::writeToLine(const QByteArray &bytes)
{
    if (!m_terminal.isOpen() || bytes.isEmpty())
        return;
    ssize_t written;
    do {
        written = ::write(m_terminal.masterFd(), bytes.constData(), std::size_t(bytes.size()));
    } while (written < 0 && errno == EINTR);
    // What does not fit is lost, as on a line whose receiver does not read.
    if (written < bytes.size())
        diagnose(QStringLiteral("%1 of %2 characters not delivered: nobody is reading")
                     .arg(bytes.size() - std::max<ssize_t>(written, 0))
                     .arg(bytes.size()));
}

void CardSimulator::endAnswer()
{
    m_delayTimer.stop();
    m_paceTimer.stop();
    m_outgoing.clear();
    m_sent = 0;
    m_busy = false;
}

void CardSimulator::runCommand(const QString &line)
{
    QString error;
    const std::optional<Command> command = parseCommand(line, &error);
    if (command && command->card && !cardAt(*command->card))
        error = QStringLiteral("no card at address %1").arg(*command->card);
    if (!error.isEmpty()) {
        diagnose(error);
        report("ERROR " + error.toLocal8Bit());
        return;
    }
    const QByteArray acknowledgement = "OK " + line.trimmed().toLocal8Bit();
    switch (command->kind) {
    case Command::Kind::Fault:
    case Command::Kind::FaultEvery:
    case Command::Kind::Open:
    case Command::Kind::Delay:
        for (Card &card : m_cards) {
            if (!command->card || *command->card == card.address)
                changeBehaviour(card, *command);
        }
        break;
    case Command::Kind::Unplug:
        if (!m_terminal.isOpen()) {
            report("ERROR already unplugged");
            return;
        }
        report(acknowledgement);
        unplug();
        return;
    case Command::Kind::Send:
        writeToLine(command->text.toLatin1());
        break;
    case Command::Kind::Quit:
        report(acknowledgement);
        QCoreApplication::quit();
        return;
    }
    report(acknowledgement);
}

void CardSimulator::changeBehaviour(Card &card, const Command &command)
{
    switch (command.kind) {
    case Command::Kind::Fault:
        card.behaviour.fault = command.fault;
        card.faultCount = 0;
        break;
    case Command::Kind::FaultEvery:
        card.behaviour.faultEvery = command.number;
        card.faultCount = 0;
        break;
    case Command::Kind::Open:
        card.behaviour.open = command.channels;
        break;
    case Command::Kind::Delay:
        card.behaviour.delayMs = command.number;
        break;
    default:
        break; // the line's own commands change no card
    }
}

} // namespace tervalo::sim
