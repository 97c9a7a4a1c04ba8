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
//
// A record the system takes only in part (a full disk, a file-size limit, a failing disk), or
// takes but cannot sync, is taken back: the file is cut to the length it had before, line end in
// front included, so that the log holds whole records only and a spreadsheet never reads a record
// with channels missing. The error is returned as for any other failure. The process must ignore SIGXFSZ for
// a file-size limit to come back as EFBIG; by default the signal ends the process mid-write.
int appendLogRecord(const QString &fileName, const QByteArray &record);

} // namespace tervalo
