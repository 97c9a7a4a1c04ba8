#include "history/logsource.h"

#include <QFile>

namespace tervalo {

void RecordBuffer::append(QByteArrayView line)
{
    if (m_blocks.empty() || m_blocks.back().size() + line.size() > m_blockSize) {
        if (!m_blocks.empty())
            m_blocks.back().squeeze();
        m_blocks.emplace_back();
        m_blocks.back().reserve(m_blockSize);
    }
    m_blocks.back().append(line);
    ++m_count;
    while (m_count > m_limit)
        dropOldest();
}

void RecordBuffer::dropOldest()
{
    const QByteArray &first = m_blocks.front();
    const qsizetype end = first.indexOf('\n', m_skip);
    m_skip = end < 0 ? first.size() : end + 1;
    --m_count;
    if (m_skip >= first.size()) {
        m_blocks.pop_front();
        m_skip = 0;
    }
}

void RecordBuffer::forEachBlock(const std::function<void(const QByteArray &)> &use) const
{
    for (size_t i = 0; i < m_blocks.size(); ++i)
        use(i == 0 && m_skip > 0 ? m_blocks[i].sliced(m_skip) : m_blocks[i]);
}

LogTail::State LogTail::read(QByteArray &bytes, qint64 limit)
{
    bytes.clear();
    QFile file(m_fileName);
    if (!file.exists())
        return State::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return State::Unreadable;
    const qint64 size = file.size();
    if (size < m_offset) {
        m_offset = 0;
        return State::Shrunk;
    }
    if (size == m_offset || !file.seek(m_offset))
        return State::Read;
    bytes = file.read(std::min(limit, size - m_offset));
    const qsizetype end = bytes.lastIndexOf('\n');
    // A line longer than the whole limit is no record; it is passed on in pieces as it is, so
    // the file still moves on.
    bytes.truncate(end >= 0 ? end + 1 : (bytes.size() == limit ? bytes.size() : 0));
    m_offset += bytes.size();
    return State::Read;
}

} // namespace tervalo
