#include "history/logloader.h"

#include <QFileInfo>
#include <QElapsedTimer>
#include <QPointer>

namespace tervalo {

std::unique_ptr<LoadedLog> loadLog(const QString &fileName, const std::atomic<bool> &cancel,
                                   const std::function<void(qint64, qint64)> &progress, int columns)
{
    auto log = std::make_unique<LoadedLog>(fileName);
    const qint64 total = QFileInfo(fileName).size();
    const auto sink = [&log](const LogRecord &record, QByteArrayView) { log->data.append(record); };
    QByteArray bytes;
    bool more = true;
    bool first = true;
    while (more) {
        if (cancel.load(std::memory_order_relaxed)) {
            log->outcome = LoadedLog::Outcome::Cancelled;
            break;
        }
        switch (log->tail.read(bytes)) {
        case LogTail::State::Missing:
            log->outcome = LoadedLog::Outcome::Missing;
            return log;
        case LogTail::State::Unreadable:
            log->outcome = LoadedLog::Outcome::Unreadable;
            return log;
        case LogTail::State::Shrunk:
            // Written anew while it was read: what was read may no longer be in it.
            log->data.clear();
            log->reader = LogReader();
            break;
        case LogTail::State::Read:
            more = !bytes.isEmpty();
            log->reader.read(bytes, sink);
            if (first && log->data.size() > 0) {
                // Room for the whole file at the first piece's bytes a record, and a tenth more.
                first = false;
                log->data.reserve(qsizetype(double(total) / double(bytes.size()) *
                                            double(log->data.size()) * 1.1) + 1024);
            }
            if (progress)
                progress(log->tail.offset(), std::max(total, log->tail.offset()));
            break;
        }
    }
    log->data.sortByTime();
    log->data.updateInterval();
    log->data.blocks(); // worked out here, not on the first picture
    if (columns > 0 && log->outcome == LoadedLog::Outcome::Read && !log->data.isEmpty()) {
        const auto [first, last] = log->data.span();
        log->columns = columns;
        log->lines = decimateAll(log->data, first, last, columns);
    }
    return log;
}

LogLoader::~LogLoader()
{
    stop();
}

void LogLoader::start(const QString &fileName, int columns)
{
    stop();
    m_fileName = fileName;
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    auto cancelFlag = m_cancel;
    QPointer<LogLoader> self(this);
    m_thread = QThread::create([self, fileName, cancelFlag, columns] {
        // Told at most every 50 ms: the window need not draw a bar more often than that.
        qint64 lastTold = -1;
        QElapsedTimer clock;
        clock.start();
        auto log = loadLog(fileName, *cancelFlag, [&](qint64 done, qint64 total) {
            if (clock.elapsed() - lastTold < 50)
                return;
            lastTold = clock.elapsed();
            QMetaObject::invokeMethod(self.data(), [self, cancelFlag, done, total] {
                if (self && self->m_cancel == cancelFlag)
                    emit self->progress(done, total);
            }, Qt::QueuedConnection);
        }, columns);
        std::shared_ptr<LoadedLog> result(std::move(log));
        QMetaObject::invokeMethod(self.data(), [self, cancelFlag, result] {
            // A read that was stopped for another one has nothing more to say.
            if (!self || self->m_cancel != cancelFlag)
                return;
            self->m_thread->wait();
            delete self->m_thread;
            self->m_thread = nullptr;
            emit self->finished(result);
        }, Qt::QueuedConnection);
    });
    m_thread->start();
}

void LogLoader::cancel()
{
    if (m_cancel)
        m_cancel->store(true);
}

void LogLoader::stop()
{
    if (!m_thread)
        return;
    m_cancel->store(true);
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
    m_cancel.reset(); // the result still queued for this read is dropped
}

} // namespace tervalo
