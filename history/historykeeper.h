#pragma once

#include "device/cardreading.h"
#include "history/frmhistory.h"
#include "history/logsource.h"

#include <QObject>
#include <QPointer>

#include <functional>

namespace tervalo {

// The main window's side of the history: it keeps the readings taken since the program started
// and opens the history window, which it tells of every new reading.
class HistoryKeeper : public QObject
{
    Q_OBJECT
public:
    explicit HistoryKeeper(qsizetype limit = 1'000'000, QObject *parent = nullptr);
    // An open history window goes with the program.
    ~HistoryKeeper() override;

    // The log file readings go to now; "" when nothing is logged. Unset: nothing is logged.
    std::function<QString()> logFile;

    void mnuHistory_Click();
    // Every reading, logged or not, once it has gone to the log.
    void readingTaken(const tervalo::CardReading &reading);

    const SampleBuffer &records() const { return m_records; }
    frmHistory *window() const { return m_window; } // null while the window is closed

private:
    void follow();

    SampleBuffer m_records;
    QPointer<frmHistory> m_window;
};

} // namespace tervalo
