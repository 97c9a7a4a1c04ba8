#include "app/sysinfotool.h"

#include "app/frmabout.h"

#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <cstring>
#endif

namespace tervalo {

namespace {

SysInfoSeams realSeams()
{
    return {
        [](const QString &program, const QStringList &arguments) {
            return QProcess::startDetached(program, arguments);
        },
        [](QWidget *parent, const QString &text, const QString &caption) {
            QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
            box.exec();
        },
    };
}

#ifdef Q_OS_WIN
// Reads one value of a registry key: a text as it is, a number as "&h" and its hexadecimal
// digits; a value of any other type counts as read and leaves keyVal as it came.
bool GetKeyValue(HKEY KeyRoot, const QString &KeyName, const QString &SubKeyRef, QString &KeyVal)
{
    HKEY key = nullptr;
    // Opened for reading only. Asking for set and create rights as well (0x2003F) is refused to
    // every user but an administrator, and the tool then looked unavailable although its path was
    // there to read.
    if (RegOpenKeyExA(KeyRoot, KeyName.toLocal8Bit().constData(), 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        KeyVal.clear();
        return false;
    }
    char buffer[1024];
    DWORD size = sizeof buffer;
    DWORD type = 0;
    if (RegQueryValueExA(key, SubKeyRef.toLocal8Bit().constData(), nullptr, &type,
                         reinterpret_cast<BYTE *>(buffer), &size) != ERROR_SUCCESS) {
        KeyVal.clear();
        RegCloseKey(key);
        return false;
    }
    QByteArray data(buffer, int(size));
    if (!data.isEmpty() && data.endsWith('\0'))
        data.chop(1);
    if (type == REG_SZ) {
        KeyVal = QString::fromLocal8Bit(data);
    } else if (type == REG_DWORD) {
        DWORD number = 0;
        memcpy(&number, buffer, qMin<size_t>(size, sizeof number));
        KeyVal = QStringLiteral("&h") + QString::number(number, 16).toUpper();
    }
    RegCloseKey(key);
    return true;
}
#endif

} // namespace

SysInfoSeams &sysInfoSeams()
{
    static SysInfoSeams seams = realSeams();
    return seams;
}

void resetSysInfoSeams()
{
    sysInfoSeams() = realSeams();
}

QList<ToolCommand> desktopSystemInformationTools()
{
#ifdef Q_OS_MACOS
    return {{QStringLiteral("open"), {QStringLiteral("-a"), QStringLiteral("System Information")}}};
#else
    // The tools closest to a system summary first: the hardware and system profilers, then KDE's
    // Info Center, then the desktops' system monitors, whose system page names the machine, its
    // processor, memory and system release.
    return {
        {QStringLiteral("hardinfo2"), {}},
        {QStringLiteral("hardinfo"), {}},
        {QStringLiteral("kinfocenter"), {}},
        {QStringLiteral("gnome-system-monitor"), {}},
        {QStringLiteral("mate-system-monitor"), {}},
        {QStringLiteral("xfce4-taskmanager"), {}},
    };
#endif
}

QString msinfoProgramPath(const KeyValueReader &getKeyValue,
                          const std::function<bool(const QString &path)> &fileExists)
{
    QString path;
    if (getKeyValue(QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"), QStringLiteral("PATH"), path))
        return path;
    if (!getKeyValue(QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"), QStringLiteral("MSINFO"), path))
        return {};
    const QString program = path + QStringLiteral("\\MSINFO32.EXE");
    return fileExists(program) ? program : QString();
}

void startSystemInformationTool(QWidget *parent)
{
    const SysInfoSeams &seams = sysInfoSeams();
    try {
#ifdef Q_OS_WIN
        const QString program = msinfoProgramPath(
            [](const QString &keyName, const QString &valueName, QString &keyVal) {
                return GetKeyValue(HKEY_LOCAL_MACHINE, keyName, valueName, keyVal);
            },
            [](const QString &file) { return QFileInfo(file).isFile(); });
        // An empty path (a value of an unusual type) fails to start like a missing program.
        if (!program.isEmpty() && seams.startDetached(program, {}))
            return;
#else
        for (const ToolCommand &tool : desktopSystemInformationTools()) {
            if (seams.startDetached(tool.program, tool.arguments))
                return;
        }
#endif
    } catch (...) {
        // Whatever went wrong, the user hears the same: no tool.
    }
    seams.messageBox(parent, QString::fromLatin1(sysInfoUnavailableText),
                     QString::fromLatin1(applicationTitle));
}

} // namespace tervalo
