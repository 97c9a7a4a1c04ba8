#pragma once

#include <QString>
#include <stdexcept>

namespace tervalo {

// Every failure of the serial layer carries one of these numbers. They are what the user reads in
// "Error n received. If problem persists please restart Tervalo.", so they are kept stable and
// listed in the user's guide. Failures reported by the system's serial driver are 8100 plus the
// serial port's own error number, so both kinds stay apart.
enum CommErrorCode : int {
    commInvalidPortNumber = 8002, // no serial device has this number (or it is below 1)
    commPortAlreadyOpen = 8005,   // the port number or settings changed while open
    commInvalidSettings = 8010,   // a line settings text that cannot be understood
    commPortNotOpen = 8018,       // sending on a closed port
    commOutputBufferFull = 8020,  // more than the output buffer holds
    commPortEntryNotNumeric = 13, // the selected port list entry is not a number
    commDriverErrorBase = 8100,   // plus QSerialPort::SerialPortError
};

class CommError : public std::runtime_error
{
public:
    CommError(int code, const QString &what)
        : std::runtime_error(what.toStdString()), m_code(code)
    {
    }
    int code() const { return m_code; }

private:
    int m_code;
};

} // namespace tervalo
