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

void HistoryKeeper::readingTaken(const CardReading &reading)
{
    // The reading itself, not its record read back: nothing to parse, and the time keeps its
    // milliseconds.
    const std::optional<HistorySample> sample = historySample(reading);
    if (!sample)
        return;
    m_records.append(*sample);
    if (m_window)
        m_window->readingTaken(*sample, logFile ? logFile() : QString());
}

} // namespace tervalo
