#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

namespace tervalo::sim {

// Reads the commands that tests and scripts type into the simulator, one per line. The end of
// the input only ends the commands: a simulator started in the background with its input closed
// must go on answering.
class CommandInput : public QObject
{
    Q_OBJECT

public:
    explicit CommandInput(int fd, QObject *parent = nullptr);

signals:
    void lineReceived(const QString &line);

private:
    void readAvailable();
    void finish();

    int m_fd;
    QSocketNotifier m_notifier;
    QByteArray m_partial;
};

} // namespace tervalo::sim
