#pragma once

#include <QDateTime>
#include <QString>

namespace tervalo {

// Appends readings' records to one log file, in the log's line format and with the durability of
// appendLogRecord, and keeps count of what it did: how many records went in since logging
// started, and the last failure. The window's data log and the headless logger share it, so both
// write exactly the same bytes.
class LogWriter
{
public:
    // A new count for fileName; nothing is written until the first record.
    void start(const QString &fileName);
    QString fileName() const { return m_fileName; }

    // Appends one record, given without its line end. Returns 0, or the system's error number;
    // the record is lost then, and the next one tries again.
    int append(const QString &record);

    // Counts what became of one record: written (0) or lost with the system's error number. For
    // a writer that only keeps the account of records another one wrote.
    void tally(int error);

    qint64 recordsWritten() const { return m_written; }
    int lastError() const { return m_lastError; }
    QDateTime lastErrorAt() const { return m_lastErrorAt; }

    // What the log is and how it went, in a few lines for a tool tip; empty before any start.
    QString summary(bool logging) const;

private:
    QString m_fileName;
    qint64 m_written = 0;
    int m_lastError = 0;
    QDateTime m_lastErrorAt;
};

// The status text of a record that could not be written.
QString writeErrorText(int error);

} // namespace tervalo
