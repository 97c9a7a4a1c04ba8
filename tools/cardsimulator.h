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

namespace tervalo::sim {

// The simulated card on its pseudo-terminal: reads requests, answers them at the card's pace,
// misbehaves on demand, and can be unplugged and plugged in again.
class CardSimulator : public QObject
{
    Q_OBJECT

public:
    CardSimulator(const CardBehaviour &behaviour, quint64 seed, const QString &linkName,
                  QObject *parent = nullptr);
    ~CardSimulator() override;

    // Opens the line and announces it; false (with *error) if that is impossible.
    bool start(QString *error);

    // One command line from the standard input.
    void runCommand(const QString &line);

private:
    bool plugIn(QString *error);
    void unplug();
    void replug();
    void readLine();
    void handleRequest(const Request &request);
    void answer(const Request &request, int delayMs);
    void answerComplete();
    void startAnswer();
    void sendDueCharacters();
    void writeToLine(const QByteArray &bytes);
    void endAnswer();

    CardBehaviour m_behaviour;
    QString m_linkName;
    TemperatureModel m_model;
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
    quint64 m_faultCount = 0;
};

} // namespace tervalo::sim
