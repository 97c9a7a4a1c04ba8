#pragma once

#include <QByteArray>
#include <QString>

#include <deque>
#include <functional>

namespace tervalo {

// The records taken since the program started, as the log would hold them, for a history window
// to show when nothing is logged. Kept as text in large blocks: a million records take about
// 55 MB, a third of what one string each would.
class RecordBuffer
{
public:
    explicit RecordBuffer(qsizetype limit = 1'000'000, qsizetype blockSize = 1 << 20)
        : m_limit(limit), m_blockSize(blockSize)
    {
    }

    // One record with its line end; the oldest goes once there are more than the limit.
    void append(QByteArrayView line);
    qsizetype size() const { return m_count; }
    qsizetype limit() const { return m_limit; }
    // Every record held, oldest first, in blocks of whole lines.
    void forEachBlock(const std::function<void(const QByteArray &)> &use) const;

private:
    void dropOldest();

    qsizetype m_limit;
    qsizetype m_blockSize;
    std::deque<QByteArray> m_blocks;
    qsizetype m_skip = 0; // bytes of the first block already dropped
    qsizetype m_count = 0;
};

// Follows a log file as it grows: each read returns only the bytes added since the last one, up
// to the last line end, so a record still being written waits for its end.
class LogTail
{
public:
    enum class State { Read, Missing, Unreadable, Shrunk };

    explicit LogTail(const QString &fileName) : m_fileName(fileName) {}
    QString fileName() const { return m_fileName; }

    // At most limit new bytes of whole lines into bytes. Shrunk means the file is shorter than
    // what was read: it starts from its beginning again on the next read.
    State read(QByteArray &bytes, qint64 limit = 8 << 20);
    qint64 offset() const { return m_offset; }

private:
    QString m_fileName;
    qint64 m_offset = 0;
};

} // namespace tervalo
