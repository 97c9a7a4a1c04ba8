#pragma once

#include <QByteArray>
#include <QString>

namespace tervalo {

// Appends one log record (line end included) to fileName, creating the file when it does not
// exist, and returns only once the record is on the disk. Returns 0, or the system's error number
// of the step that failed (errno; GetLastError() on Windows).
//
// A power cut or a killed program must never leave half a record glued to the next one, so the
// record goes to the file in one write and is synced before returning. Even one write can be cut
// where it crosses from one page of the file to the next, if the program is killed just then.
// So when the file does not end with a line end (such a cut, or another program that wrote to
// it), a line end goes in front of the record first: the damaged line stays as it is, the new
// record whole.
int appendLogRecord(const QString &fileName, const QByteArray &record);

} // namespace tervalo
