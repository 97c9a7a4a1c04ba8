#include "acquisition/sessionthread.h"

#include "acquisition/sessionclock.h"
#include "device/mscomm.h"

namespace tervalo {

SessionThread::SessionThread()
{
    m_thread.setObjectName(QStringLiteral("acquisition"));
    m_thread.start();
    // Made on the thread itself, so the serial port's and the timers' notifiers belong to its
    // event loop from the start.
    QObject home;
    QThread *const caller = QThread::currentThread();
    home.moveToThread(&m_thread);
    QMetaObject::invokeMethod(
        &home,
        [this, &home, caller] {
            m_line = new MSComm;
            m_line->setObjectName(QStringLiteral("MSComm1"));
            m_clock = new SystemSessionClock;
            m_session = new AcquisitionSession(*m_line, *m_clock);
            home.moveToThread(caller); // so that it ends where it began
        },
        Qt::BlockingQueuedConnection);
}

SessionThread::~SessionThread()
{
    QMetaObject::invokeMethod(
        m_session,
        [this] {
            delete m_session;
            delete m_clock;
            delete m_line; // closes the port
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

} // namespace tervalo
