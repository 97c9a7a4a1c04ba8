#pragma once

#include <QString>

namespace tervalo::sim {

// The simulated serial line: a pseudo-terminal whose slave side looks to the program like a
// serial device. We keep a slave descriptor of our own open for as long as the line exists, so
// that the line stays raw between the program's sessions and our master side never sees the
// hang-up that follows the last close of the slave.
class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal() { close(); }
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool open(QString *error);
    void close();

    bool isOpen() const { return m_master >= 0; }
    int masterFd() const { return m_master; } // non-blocking
    QString slavePath() const { return m_slavePath; }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};

} // namespace tervalo::sim
