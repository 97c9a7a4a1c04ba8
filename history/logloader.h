#pragma once

#include "common/logrecord.h"
#include "history/historydata.h"
#include "history/logsource.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

namespace tervalo {

// A whole log read into what the history shows, with what it takes to go on following it.
struct LoadedLog
{
    enum class Outcome { Read, Cancelled, Missing, Unreadable };

    explicit LoadedLog(const QString &fileName) : tail(fileName) {}

    Outcome outcome = Outcome::Read;
    HistoryData data;  // sorted, its gaps and block summaries worked out
    LogReader reader;  // where the reading of dates stands, for the records still to come
    LogTail tail;      // read up to the last whole line
    // The lines of all of it at the width asked for, in the unit of its latest record: the
    // window's first picture without a pass over every record on the window's thread.
    int columns = 0;
    std::array<PlotLine, historyChannels> lines;
};

// Reads a log from its start to its last whole line. progress is told the bytes read and the
// file's size after each piece; cancel is looked at between pieces (a piece takes well under
// 100 ms), and a cancelled read returns what it has so far as Cancelled.
// With columns, the lines of the whole log are worked out too.
std::unique_ptr<LoadedLog> loadLog(const QString &fileName, const std::atomic<bool> &cancel,
                                   const std::function<void(qint64, qint64)> &progress = {},
                                   int columns = 0);

// Reads a log on a thread of its own, so that a month of records leaves the window free to
// answer. One read at a time; the results come back on the thread that started it.
class LogLoader : public QObject
{
    Q_OBJECT
public:
    explicit LogLoader(QObject *parent = nullptr) : QObject(parent) {}
    // Waits for the thread, which stops at its next piece.
    ~LogLoader() override;

    void start(const QString &fileName, int columns = 0);
    // Asks the read to end at its next piece; it still reports what it has read.
    void cancel();
    // Ends the read and waits for it, reporting nothing.
    void stop();
    bool running() const { return m_thread != nullptr; }
    QString fileName() const { return m_fileName; }

signals:
    void progress(qint64 done, qint64 total);
    // The read has ended: read whole, cancelled or failed.
    void finished(std::shared_ptr<tervalo::LoadedLog> log);

private:

    QString m_fileName;
    QThread *m_thread = nullptr;
    std::shared_ptr<std::atomic<bool>> m_cancel;
};

} // namespace tervalo
