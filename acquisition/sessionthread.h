#pragma once

#include "acquisition/acquisitionsession.h"

#include <QMetaObject>
#include <QThread>

#include <type_traits>
#include <utility>

namespace tervalo {

class MSComm;
class SystemSessionClock;

// An acquisition session with the serial control and the clocks on a thread of their own, with
// its own event loop: requests, answers, time-outs and the log never wait for whoever watches.
// The watchers are told by queued signals; they reach the session through call() and post().
class SessionThread
{
public:
    SessionThread();
    ~SessionThread();
    SessionThread(const SessionThread &) = delete;
    SessionThread &operator=(const SessionThread &) = delete;

    // For connecting to its signals; everything else goes through call() and post().
    AcquisitionSession *session() const { return m_session; }

    // Runs work on the session's thread and waits for its result: for what must be done before
    // the caller goes on (opening a port the user picked, looking for ports).
    template <typename Work>
    auto call(Work &&work) const
    {
        using Result = std::invoke_result_t<Work, AcquisitionSession &>;
        const Qt::ConnectionType type = QThread::currentThread() == &m_thread
                                            ? Qt::DirectConnection
                                            : Qt::BlockingQueuedConnection;
        if constexpr (std::is_void_v<Result>) {
            QMetaObject::invokeMethod(m_session, [&] { work(*m_session); }, type);
        } else {
            Result result{};
            QMetaObject::invokeMethod(m_session, [&] { result = work(*m_session); }, type);
            return result;
        }
    }

    // Queues work on the session's thread and goes on at once. Work is done in the order given,
    // before or after call()s, as they were made.
    template <typename Work>
    void post(Work &&work) const
    {
        QMetaObject::invokeMethod(
            m_session,
            [session = m_session, work = std::forward<Work>(work)]() mutable { work(*session); },
            Qt::QueuedConnection);
    }

private:
    mutable QThread m_thread;
    MSComm *m_line = nullptr;
    SystemSessionClock *m_clock = nullptr;
    AcquisitionSession *m_session = nullptr;
};

} // namespace tervalo
