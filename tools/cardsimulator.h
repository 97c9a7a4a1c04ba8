#pragma once

#include "tools/cardcontrol.h"
#include "tools/portlink.h"
#include "tools/pseudoterminal.h"
#include "tools/requestparser.h"
#include "tools/temperaturemodel.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <vector>

namespace tervalo::sim {

// The simulated cards on their shared pseudo-terminal: reads requests, lets the addressed card
// answer them at the card's pace, misbehaves on demand, and can be unplugged and plugged in again.
class CardSimulator : public QObject
{
    Q_OBJECT

public:
    // One card for each address, all starting with the same behaviour; the seed makes the
    // readings repeatable, each card's its own.
    CardSimulator(const QList<int> &addresses, const CardBehaviour &behaviour,
                  const LineBehaviour &line, quint64 seed, const QString &linkName,
                  QObject *parent = nullptr);
    ~CardSimulator() override;

    // Opens the line and announces it; false (with *error) if that is impossible.
    bool start(QString *error);

    // One command line from the standard input.
    void runCommand(const QString &line);

private:
    struct Card
    {
        int address;
        CardBehaviour behaviour;
        TemperatureModel model;
        quint64 faultCount = 0;
    };

    Card *cardAt(int address);
    bool plugIn(QString *error);
    void unplug();
    void replug();
    void readLine();
    void handleRequest(const Request &request);
    void answer(Card &card, const Request &request, int delayMs);
    void answerComplete();
    void startAnswer();
    void sendDueCharacters();
    void writeToLine(const QByteArray &bytes);
    void endAnswer();
    static void changeBehaviour(Card &card, const Command &command);

    std::vector<Card> m_cards;
    LineBehaviour m_line;
    QString m_linkName;
    QElapsedTimer m_modelClock;
    RequestParser m_parser;
    PseudoTerminal m_terminal;
    PortLink m_link;
    QPointer<QSocketNotifier> m_lineNotifier;
    QTimer m_delayTimer;
    QTimer m_paceTimer;
    QTimer m_replugTimer;
    QElapsedTimer m_sendClock;
    QByteArray m_outgoing;
    qsizetype m_sent = 0;
    bool m_busy = false;
    struct QueuedRequest
    {
        Request request;
        qint64 arrivedMs = 0;
    };
    QList<QueuedRequest> m_queued;
};

} // namespace tervalo::sim
