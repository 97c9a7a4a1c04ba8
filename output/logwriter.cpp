#include "output/logwriter.h"

#include "common/logrecord.h"
#include "output/datalogfile.h"

#include <QDir>
#include <QFileInfo>

namespace tervalo {

QString writeErrorText(int error)
{
    return QStringLiteral("Error %1 was encountered when writing to disk.").arg(error);
}

void LogWriter::start(const QString &fileName)
{
    m_fileName = fileName;
    m_written = 0;
    m_lastError = 0;
    m_lastErrorAt = QDateTime();
}

int LogWriter::append(const QString &record)
{
    // The records are in the system's 8-bit code page with Windows line ends, as every earlier
    // version wrote them; spreadsheet imports of old and new logs must see the same bytes.
    const int error = appendLogRecord(m_fileName, (record + QStringLiteral("\r\n")).toLocal8Bit());
    tally(error);
    return error;
}

void LogWriter::tally(int error)
{
    if (error == 0) {
        ++m_written;
    } else {
        m_lastError = error;
        m_lastErrorAt = QDateTime::currentDateTime();
    }
}

QString LogWriter::summary(bool logging) const
{
    if (m_fileName.isEmpty())
        return QString();
    QStringList lines;
    const QString path = QDir::toNativeSeparators(QFileInfo(m_fileName).absoluteFilePath());
    lines << (logging ? QStringLiteral("Logging to %1") : QStringLiteral("Last logged to %1")).arg(path);
    lines << (m_written == 1 ? QStringLiteral("1 record written since logging started")
                             : QStringLiteral("%1 records written since logging started").arg(m_written));
    if (m_lastError != 0)
        lines << QStringLiteral("Last write error: %1 (%2)")
                     .arg(writeErrorText(m_lastError), logDateTimeText(m_lastErrorAt, QLatin1Char(' ')));
    return lines.join(QLatin1Char('\n'));
}

} // namespace tervalo
