#include "tools/commandinput.h"

#include <cerrno>
#include <unistd.h>

namespace tervalo::sim {

namespace {

// A command is a few words; anything longer is noise and is not worth keeping in memory.
constexpr qsizetype longestLine = 4096;

} // namespace

CommandInput::CommandInput(int fd, QObject *parent)
    : QObject(parent), m_fd(fd), m_notifier(fd, QSocketNotifier::Read)
{
    connect(&m_notifier, &QSocketNotifier::activated, this, &CommandInput::readAvailable);
}

void CommandInput::readAvailable()
{
    char buffer[512];
    const ssize_t count = ::read(m_fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count <= 0) {
        // End of input, or a terminal that belongs to the foreground job (EIO with SIGTTIN
        // ignored): either way no more commands will come.
        finish();
        return;
    }
    m_partial.append(buffer, count);
    qsizetype end;
    while ((end = m_partial.indexOf('\n')) >= 0) {
        QByteArray line = m_partial.left(end);
        m_partial.remove(0, end + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (!line.trimmed().isEmpty())
            emit lineReceived(QString::fromLocal8Bit(line));
    }
    if (m_partial.size() > longestLine)
        m_partial.clear();
}

void CommandInput::finish()
{
    m_notifier.setEnabled(false);
    if (!m_partial.trimmed().isEmpty())
        emit lineReceived(QString::fromLocal8Bit(m_partial));
    m_partial.clear();
}

} // namespace tervalo::sim
