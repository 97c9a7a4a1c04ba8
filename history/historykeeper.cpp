#include "history/historykeeper.h"

#include "device/cardreading.h"
#include "history/frmhistory.h"

namespace tervalo {

HistoryKeeper::HistoryKeeper(qsizetype limit, QObject *parent) : QObject(parent), m_records(limit) {}

HistoryKeeper::~HistoryKeeper()
{
    delete m_window;
}

void HistoryKeeper::follow()
{
    const QString file = logFile ? logFile() : QString();
    if (file.isEmpty())
        m_window->followMemory(&m_records);
    else
        m_window->followFile(file);
}

void HistoryKeeper::mnuHistory_Click()
{
    if (!m_window) {
        m_window = new frmHistory;
        connect(m_window, &frmHistory::closed, this, [this] { m_window = nullptr; });
        connect(m_window, &frmHistory::followRequested, this, &HistoryKeeper::follow);
        m_window->setMemory(&m_records);
        follow();
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void HistoryKeeper::recordTaken(const QDateTime &, const QString &record)
{
    // As the log holds it, so that the window reads both the same way.
    const QByteArray line = (record + QStringLiteral("\r\n")).toLocal8Bit();
    m_records.append(line);
    if (m_window)
        m_window->recordTaken(line, logFile ? logFile() : QString());
}

void HistoryKeeper::readingTaken(const CardReading &reading)
{
    recordTaken(reading.when, reading.record);
}

} // namespace tervalo
