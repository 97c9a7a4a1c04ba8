#pragma once

#include <QString>

namespace tervalo::sim {

// Creates the folder in which simulators announce themselves, or checks the one that is there:
// it must be a real folder of this user, and nobody else may look into it.
bool preparePrivateFolder(const QString &folder, QString *error);

// The simulator's announcement: a symbolic link <folder>/<name> to the pseudo-terminal, which
// the program lists as a serial port. Withdrawn when this object goes, but only while the link
// still points to our pseudo-terminal, so we never remove another simulator's announcement.
class PortLink
{
public:
    PortLink() = default;
    ~PortLink() { withdraw(); }
    PortLink(const PortLink &) = delete;
    PortLink &operator=(const PortLink &) = delete;

    bool announce(const QString &folder, const QString &name, const QString &target,
                  QString *error);
    void withdraw();

    QString path() const { return m_path; }

private:
    QString m_path;
    QString m_target;
};

} // namespace tervalo::sim
