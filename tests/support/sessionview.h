#pragma once

// What a test may want to know of an acquisition session on its own thread, read there in one
// go, after everything asked of it before.

#include "acquisition/sessionclock.h"
#include "acquisition/sessionthread.h"
#include "device/mscomm.h"

struct SessionView
{
    bool portOpen = false;
    QString device;
    bool timeoutActive = false;
    int interval = 0;
    bool gridEnabled = false;
    int inBufferCount = 0;
    int charactersAwaited = 0;
    qint64 wakeUps = 0;
    bool suspendFlag = false;
    bool running = false;
    int outstanding = 0;
};

inline SessionView sessionView(const tervalo::SessionThread &thread)
{
    return thread.call([](tervalo::AcquisitionSession &s) {
        SessionView view;
        view.portOpen = s.line().PortOpen();
        view.device = s.line().device();
        view.timeoutActive = s.clock().timeoutActive();
        view.interval = s.clock().gridInterval();
        view.gridEnabled = s.clock().gridEnabled();
        view.inBufferCount = s.line().InBufferCount();
        if (const auto *comm = qobject_cast<const tervalo::MSComm *>(&s.line())) {
            view.charactersAwaited = comm->CharactersAwaited();
            view.wakeUps = comm->wakeUps();
        }
        view.suspendFlag = s.suspendFlag();
        view.running = s.running();
        view.outstanding = s.outstandingRequests();
        return view;
    });
}
