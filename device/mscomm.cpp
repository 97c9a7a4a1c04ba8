#include "device/mscomm.h"

#include "device/commerror.h"
#include "device/portnumbering.h"

#include <QScopedValueRollback>
#include <QStringList>

#ifdef Q_OS_LINUX
#include <poll.h>
#include <termios.h>
#endif

namespace tervalo {

MSComm::MSComm(QObject *parent) : CardLine(parent)
{
    // A child, so that it moves along with the control to the thread that reads the card.
    m_port.setParent(this);
    connect(&m_port, &QSerialPort::readyRead, this, &MSComm::receive);
    connect(&m_port, &QSerialPort::errorOccurred, this, &MSComm::portError);
}

MSComm::~MSComm()
{
    if (m_port.isOpen())
        m_port.close();
}

bool MSComm::parseSettings(const QString &text, LineSettings *out)
{
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4)
        return false;
    bool ok = false;
    const int baud = parts[0].trimmed().toInt(&ok);
    if (!ok || baud <= 0)
        return false;
    out->baud = baud;

    const QString parity = parts[1].trimmed().toUpper();
    if (parity == QLatin1String("N"))
        out->parity = QSerialPort::NoParity;
    else if (parity == QLatin1String("E"))
        out->parity = QSerialPort::EvenParity;
    else if (parity == QLatin1String("O"))
        out->parity = QSerialPort::OddParity;
    else if (parity == QLatin1String("M"))
        out->parity = QSerialPort::MarkParity;
    else if (parity == QLatin1String("S"))
        out->parity = QSerialPort::SpaceParity;
    else
        return false;

    const int data = parts[2].trimmed().toInt(&ok);
    if (!ok || data < 5 || data > 8)
        return false;
    out->dataBits = QSerialPort::DataBits(data);

    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1"))
        out->stopBits = QSerialPort::OneStop;
    else if (stop == QLatin1String("1.5"))
        out->stopBits = QSerialPort::OneAndHalfStop;
    else if (stop == QLatin1String("2"))
        out->stopBits = QSerialPort::TwoStop;
    else
        return false;
    return true;
}

void MSComm::setSettings(const QString &settings)
{
    LineSettings line{};
    if (!parseSettings(settings, &line))
        throw CommError(commInvalidSettings, QStringLiteral("Invalid settings: %1").arg(settings));
    if (m_port.isOpen()) {
        applySettings(line);
        // Setting the line up again may have put back the serial layer's own wake-up setting.
        m_appliedAwaited = -1;
        applyAwaited();
    }
    m_settings = settings;
    m_line = line;
}

void MSComm::applySettings(const LineSettings &line)
{
    const QScopedValueRollback configuring(m_configuring, true);
    const bool ok = m_port.setBaudRate(line.baud) && m_port.setParity(line.parity) &&
                    m_port.setDataBits(line.dataBits) && m_port.setStopBits(line.stopBits);
    if (!ok)
        throw CommError(commDriverErrorBase + int(m_port.error()), m_port.errorString());
}

void MSComm::setInputLen(int length)
{
    if (length < 0)
        throw CommError(commInvalidSettings, QStringLiteral("Invalid InputLen"));
    m_inputLen = length;
}

void MSComm::setCommPort(int portNumber)
{
    if (m_port.isOpen())
        throw CommError(commPortAlreadyOpen, QStringLiteral("Port already open"));
    if (portNumber < 1)
        throw CommError(commInvalidPortNumber, QStringLiteral("Invalid port number"));
    m_commPort = portNumber;
}

void MSComm::setPortOpen(bool open)
{
    if (!open) {
        m_awaited = 0;
        m_appliedAwaited = -1;
        if (m_port.isOpen())
            m_port.close();
        return;
    }
    if (m_port.isOpen())
        throw CommError(commPortAlreadyOpen, QStringLiteral("Port already open"));

    const QString device =
        m_numberingFixed ? m_portDevices.value(m_commPort) : serialPortDevice(m_commPort);
    if (device.isEmpty())
        throw CommError(commInvalidPortNumber,
                        QStringLiteral("No serial port has the number %1").arg(m_commPort));
    m_port.setPortName(device);
    if (!m_port.open(QIODevice::ReadWrite))
        throw CommError(commDriverErrorBase + int(m_port.error()), m_port.errorString());
    try {
        applySettings(m_line);
    } catch (...) {
        m_port.close();
        throw;
    }
    m_input.clear();
    m_awaited = 0;
    m_appliedAwaited = -1;
#ifdef Q_OS_LINUX
    termios line{};
    if (::tcgetattr(int(m_port.handle()), &line) == 0) {
        m_idleMin = line.c_cc[VMIN];
        m_idleTime = line.c_cc[VTIME];
        m_appliedAwaited = 0;
    }
#endif
}

void MSComm::setCharactersAwaited(int count)
{
    m_awaited = qBound(0, count, 255);
    applyAwaited();
}

void MSComm::applyAwaited()
{
#ifdef Q_OS_LINUX
    // The terminal layer holds a read back until VMIN characters are in (VTIME 0: no inter-
    // character timer), and the event loop's poll sees the line readable only then: one wake-up
    // for the rest of an answer instead of one per character at 2400 baud. A line that hangs up
    // is reported at once whatever VMIN says. An answer that stays short never wakes us; the
    // reader's time-out clears it from the line. The reads themselves stay non-blocking.
    if (!m_port.isOpen() || m_appliedAwaited == m_awaited)
        return;
    const int fd = int(m_port.handle());
    termios line{};
    m_appliedAwaited = -1;
    if (::tcgetattr(fd, &line) != 0)
        return; // characters keep coming one by one: more wake-ups, the same readings
    line.c_cc[VMIN] = m_awaited > 0 ? cc_t(m_awaited) : m_idleMin;
    line.c_cc[VTIME] = m_awaited > 0 ? cc_t(0) : m_idleTime;
    if (::tcsetattr(fd, TCSANOW, &line) == 0)
        m_appliedAwaited = m_awaited;
#endif
}

void MSComm::setOutput(const QString &text)
{
    if (!m_port.isOpen())
        throw CommError(commPortNotOpen, QStringLiteral("Port is not open"));
    const QByteArray bytes = text.toLatin1();
    if (m_port.bytesToWrite() + bytes.size() > OutBufferSize)
        throw CommError(commOutputBufferFull, QStringLiteral("Output buffer full"));
    if (m_port.write(bytes) != bytes.size())
        throw CommError(commDriverErrorBase + int(m_port.error()), m_port.errorString());
}

int MSComm::fixPortNumbering()
{
    m_portDevices.clear();
    for (const SerialPortEntry &entry : enumerateSerialPorts())
        m_portDevices.insert(entry.number, entry.device);
    m_numberingFixed = true;
    return highestPortNumber();
}

void MSComm::fixPortDevice(int number, const QString &device)
{
    m_portDevices.clear();
    m_portDevices.insert(number, device);
    m_numberingFixed = true;
}

int MSComm::highestPortNumber() const
{
    if (!m_numberingFixed)
        return highestSerialPortNumber();
    return m_portDevices.isEmpty() ? 0 : m_portDevices.lastKey();
}

QString MSComm::Input()
{
    const qsizetype n = m_inputLen == 0 ? m_input.size() : qMin<qsizetype>(m_inputLen, m_input.size());
    const QString text = QString::fromLatin1(m_input.left(n));
    m_input.remove(0, n);
    return text;
}

void MSComm::setInBufferCount(int count)
{
    if (count != 0)
        throw CommError(commInvalidSettings, QStringLiteral("InBufferCount can only be cleared"));
    m_input.clear();
    if (m_port.isOpen()) {
        m_port.readAll();
        m_port.clear(QSerialPort::Input);
    }
}

void MSComm::receive()
{
    // Notifications are never raised inside a notification handler. The answer decoder lets
    // window events run between channels; were an answer completed meanwhile decoded inside the
    // first, the two would mix in one record. Characters that arrive while a handler runs wait
    // in the buffer, and the loop below raises their notifications once it has returned.
    ++m_wakeUps;
    if (m_receiving)
        return;
    m_receiving = true;
    while (m_port.isOpen() && m_port.bytesAvailable() > 0) {
        // Never past what the reader waits for: a slow card's next answer may already follow this
        // one on the line, and taken together with it both would be lost. The rest is read at the
        // next turn of the loop, after the reader has taken its answer and said what it waits for
        // next.
        QByteArray chunk = m_awaited > 0 ? m_port.read(m_awaited) : m_port.readAll();
        // A full receive buffer drops what does not fit, as a real control's overrun would.
        const qsizetype room = InBufferSize - m_input.size();
        if (chunk.size() > room)
            chunk.truncate(qMax<qsizetype>(room, 0));
        m_input.append(chunk);
        if (m_rThreshold <= 0)
            continue;
        for (qsizetype i = 0; i < chunk.size(); ++i) {
            m_commEvent = comEvReceive;
            emit OnComm();
        }
    }
    m_receiving = false;
}

bool MSComm::lineGone() const
{
#ifdef Q_OS_LINUX
    // A line that hung up (an adapter pulled out, the far end of a pseudo-terminal closed) says so
    // in poll's answer, at once and for good. A line that is still there does not, even when a
    // read of it has just returned nothing.
    pollfd line{int(m_port.handle()), POLLIN, 0};
    if (::poll(&line, 1, 0) < 0)
        return false;
    return (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    return true;
#endif
}

void MSComm::portError(QSerialPort::SerialPortError error)
{
    // A line that hangs up stays readable and reads nothing, for ever: the serial layer reports
    // that as a read error, or as a vanished resource when the system says so. Kept open it would
    // wake us without end, so the port is closed and the loss reported.
    //
    // A read that finds nothing is not always a hang-up, though. The serial layer reads when the
    // event loop's poll said the line was readable. When a handler run earlier in the same turn
    // of the loop has cleared the line's input meanwhile (the time-out's discard, or a new
    // request's discard once nothing is awaited), which happens whenever this thread was held up
    // past a time-out while an answer arrived, the read finds the line empty: with a wake-up
    // count set for the awaited answer it fails with EAGAIN, which the serial layer reports as a
    // vanished resource, and with none it returns 0 bytes, which it reports as a read error. The
    // line is fine either way, and poll says so: the error is dropped and reading goes on.
    //
    // Failures of our own calls while opening and configuring the port come as other errors and
    // are reported to the caller instead.
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::UnknownError:
        if (m_port.isOpen() && !m_configuring && !lineGone()) {
            m_port.clearError();
            return;
        }
        break;
    default:
        return;
    }
    if (!m_port.isOpen() || m_configuring)
        return;
    m_port.close();
    m_input.clear();
    m_awaited = 0;
    m_appliedAwaited = -1;
    m_commEvent = comEventDeviceLost;
    emit OnComm();
    emit deviceLost();
}

} // namespace tervalo
