#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace tervalo {

// What starting the system's information tool needs from the outside world. Tests replace these,
// so that no real tool starts and no modal box waits for a click.
struct SysInfoSeams
{
    // Starts a program on its own, without waiting for it; false when it could not be started.
    std::function<bool(const QString &program, const QStringList &arguments)> startDetached;
    // Tells the user that no tool can be started.
    std::function<void(QWidget *parent, const QString &text, const QString &caption)> messageBox;
};

SysInfoSeams &sysInfoSeams();
void resetSysInfoSeams();

inline constexpr const char *sysInfoUnavailableText = "System Information Is Unavailable At This Time";

// Starts the system's information tool, or tells the user it cannot.
void startSystemInformationTool(QWidget *parent);

// Outside Windows: the desktops' own system-information tools, tried in this order.
struct ToolCommand
{
    QString program;
    QStringList arguments;
};
QList<ToolCommand> desktopSystemInformationTools();

// On Windows the tool is found through two registry values. The decision is kept apart from the
// registry so that it can be checked anywhere: getKeyValue reads one value of a key under
// HKEY_LOCAL_MACHINE into its last argument (left as it came for a value of an unusual type) and
// returns whether the value was read. The result is the program to start; empty means there is
// none.
using KeyValueReader =
    std::function<bool(const QString &keyName, const QString &valueName, QString &keyVal)>;
QString msinfoProgramPath(const KeyValueReader &getKeyValue,
                          const std::function<bool(const QString &path)> &fileExists);

} // namespace tervalo
