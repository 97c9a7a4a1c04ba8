#pragma once

#include <QObject>

namespace tervalo {

// The system's notice that it is about to suspend. On Linux it comes from logind's
// PrepareForSleep signal on the system bus; where there is no system bus (a container, a CI
// machine) the notice simply never comes. Tests raise it with announceSuspend().
class SysInfo : public QObject
{
    Q_OBJECT
public:
    explicit SysInfo(QObject *parent = nullptr);

    void announceSuspend() { emit PowerSuspend(); }

signals:
    void PowerSuspend();

private slots:
    void prepareForSleep(bool starting);
};

} // namespace tervalo
