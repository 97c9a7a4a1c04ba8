#pragma once

#include <QDir>
#include <QString>
#include <QtGlobal>

#include <unistd.h>

namespace tervalo {

// The per-user folder in which card simulators announce their pseudo-terminals, one symbolic
// link per simulator. The program numbers these links before the system's serial devices, so a
// user without a card finds the simulator as port 1. The folder lives below the user's runtime
// directory so that it vanishes with the login session and other users never see it.
inline QString simulatorLinkFolder()
{
    QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (base.isEmpty())
        base = QDir::tempPath() + QStringLiteral("/tervalo-runtime-%1").arg(::getuid());
    return base + QStringLiteral("/tervalo");
}

} // namespace tervalo
