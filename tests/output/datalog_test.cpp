// The CSV data log: its two switches, the records on disk, write errors, and records that stay
// whole when the writer is killed.

#include "output/datalog.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/resource.h>

#include "acquisition/acquisitionsession.h"
#include "tests/output/datalog_writer.h"
#include "tests/support/sessionfakes.h"

using namespace tervalo;

namespace {

struct FakeDialog : SaveFileDialog
{
    int ShowSave(QWidget *, const QString &filter, QString &fileName) override
    {
        ++calls;
        filterSeen = filter;
        presetSeen = fileName;
        if (whileOpen)
            whileOpen();
        if (result == 0)
            fileName = chosen;
        return result;
    }
    int result = 0;
    int calls = 0;
    QString chosen, filterSeen, presetSeen;
    std::function<void()> whileOpen; // what happens while the user looks at the dialog
};

// The part of the main window that the log sees.
struct LogWindow
{
    LogWindow() { mnuSave->setCheckable(true); }
    WindowState state;
    QWidget window;
    QCheckBox *chkSave = new QCheckBox(&window);
    QAction *mnuSave = new QAction(&window);
    QLabel *status = new QLabel(&window);
    FakeDialog dialog;
    DataLog log{state, {chkSave, mnuSave, status, &window}, &dialog};
    // The session writes the records, to the file the switches chose, and says when it cannot.
    test::FakeLine line;
    test::FakeClock clock;
    AcquisitionSession session{line, clock};
    QMetaObject::Connection toSession =
        QObject::connect(&log, &DataLog::logFileChanged, &session, &AcquisitionSession::setLogFile);
    QMetaObject::Connection fromSession =
        QObject::connect(&session, &AcquisitionSession::statusText, status, &QLabel::setText);
};

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString valid = QStringLiteral("5/1/24,12:00:00,c,23.4, 734,-012,   0,99.9,  12,");

} // namespace

class DataLogTest : public QObject
{
    Q_OBJECT
private slots:
    void init() { QVERIFY(m_dir.emplace().isValid()); } // a fresh folder for every row
    void records_data();
    void records();
    void switches_data();
    void switches();
    void desktopDialog_data();
    void desktopDialog();
    void writeErrorUntilCauseGoes_data();
    void writeErrorUntilCauseGoes();
    void killedWriterLeavesWholeLines();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    std::optional<QTemporaryDir> m_dir;
};

void DataLogTest::records_data()
{
    QTest::addColumn<QByteArray>("existing");
    QTest::addColumn<QByteArray>("mend");
    QTest::addColumn<QStringList>("records");
    const QByteArray none;
    QTest::newRow("valid, blanks kept") << none << none << QStringList{valid};
    QTest::newRow("open and disabled") << none << none << QStringList{
        QStringLiteral("5/1/24,12:00:01,r,open,disabled,open, 512,disabled,open,")};
    QTest::newRow("failed answer") << none << none << QStringList{
        QStringLiteral("5/1/24,12:00:02,f,err,err,err,err,err,err,")};
    QTest::newRow("unit change") << none << none << QStringList{valid, QString(valid).replace(",c,", ",f,")};
    QTest::newRow("whole lines kept") << QByteArray("a,b\r\nc,d\r\n") << none << QStringList{valid, valid};
    QTest::newRow("other tool's line feeds") << QByteArray("a,b\n") << none << QStringList{valid};
    QTest::newRow("torn record") << QByteArray("a,b\r\n5/1/24,12:0") << QByteArray("\r\n")
                                 << QStringList{valid, valid};
    QTest::newRow("cut after carriage return") << QByteArray("a,b\r") << QByteArray("\n")
                                               << QStringList{valid};
}

void DataLogTest::records()
{
    QFETCH(QByteArray, existing);
    QFETCH(QByteArray, mend);
    QFETCH(QStringList, records);
    LogWindow w;
    w.session.setLogFile(path(QStringLiteral("log.csv")));
    w.log.FileName = path(QStringLiteral("log.csv"));
    if (!existing.isEmpty()) {
        QFile file(w.log.FileName);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(existing) == existing.size());
    }
    for (const QString &record : records)
        w.session.saveData(record);
    // Unquoted and unchanged, each ending in CR LF; nothing before them touched.
    QCOMPARE(contents(w.log.FileName), existing + mend + (records.join("\r\n") + "\r\n").toLatin1());
}

void DataLogTest::switches_data()
{
    QTest::addColumn<bool>("startOn");
    QTest::addColumn<bool>("viaMenu");
    QTest::addColumn<int>("dialogResult");
    QTest::addColumn<bool>("expectOn");
    QTest::addColumn<QString>("expectStatus");
    const QString unchanged = QStringLiteral("before");
    for (const bool menu : {false, true}) {
        const char *how = menu ? "menu" : "box";
        QTest::addRow("%s on, chosen", how) << false << menu << 0 << true << unchanged;
        QTest::addRow("%s on, cancelled", how)
            << false << menu << 32755 << false << QStringLiteral("No file was selected.");
        QTest::addRow("%s on, dialog error", how)
            << false << menu << 20477 << false
            << QStringLiteral("Error 20477 was encountered when opening file.");
        QTest::addRow("%s off", how) << true << menu << 0 << false << unchanged;
    }
}

void DataLogTest::switches()
{
    QFETCH(bool, startOn);
    QFETCH(bool, viaMenu);
    QFETCH(int, dialogResult);
    QFETCH(bool, expectOn);
    QFETCH(QString, expectStatus);
    LogWindow w;
    const QString earlier = path(QStringLiteral("earlier.csv"));
    w.dialog.chosen = earlier;
    w.chkSave->setChecked(true);
    if (!startOn)
        w.chkSave->setChecked(false); // an earlier run leaves its path behind
    w.dialog = {};
    w.dialog.result = dialogResult;
    w.dialog.chosen = path(QStringLiteral("chosen.csv"));
    w.status->setText(QStringLiteral("before"));
    // A reading answered while the dialog is open goes nowhere, least of all to the preset name
    // in the folder the program was started from.
    QDir::setCurrent(m_dir->path());
    bool loggingWhileOpen = false;
    w.dialog.whileOpen = [&] {
        loggingWhileOpen = w.state.saveToDisk;
        if (w.state.saveToDisk)
            w.session.saveData(valid);
    };

    if (viaMenu)
        w.mnuSave->trigger(); // as the user does: Qt flips the mark before the handler runs
    else
        w.chkSave->click();

    QCOMPARE(w.state.saveToDisk, expectOn); // at once: the next reading writes only while on
    QCOMPARE(w.chkSave->isChecked(), expectOn);
    QCOMPARE(w.mnuSave->isChecked(), expectOn);
    QCOMPARE(w.status->text(), expectStatus);
    QCOMPARE(w.dialog.calls, startOn ? 0 : 1);
    if (!startOn) {
        QCOMPARE(w.dialog.filterSeen, QStringLiteral("Comma-separated-value(*.csv)|*.csv"));
        QCOMPARE(w.dialog.presetSeen, QStringLiteral("output.csv"));
    }
    // Switching off keeps the path, unused; a failed choice forgets it.
    QCOMPARE(w.log.FileName, expectOn ? w.dialog.chosen : dialogResult ? QString() : earlier);
    QVERIFY(!QFile::exists(w.dialog.chosen)); // the first record creates the file
    QVERIFY(!loggingWhileOpen);
    QVERIFY(!QFile::exists(path(QStringLiteral("output.csv"))));
}

void DataLogTest::desktopDialog_data()
{
    QTest::addColumn<bool>("image");     // the graph's image dialog, else the log's
    QTest::addColumn<QString>("present"); // a file already in the folder
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("answer");      // to "replace it?": 0 not asked, else the button
    QTest::addColumn<QString>("expected"); // the name chosen; "" for a cancel
    const int yes = QMessageBox::Yes, no = QMessageBox::No;
    QTest::newRow("log: an existing file without an extension") << false << "data" << "data" << 0 << "data";
    QTest::newRow("log: a new name gets .csv") << false << "" << "run" << 0 << "run.csv";
    QTest::newRow("log: another extension kept") << false << "" << "run.txt" << 0 << "run.txt";
    QTest::newRow("log: appending needs no question") << false << "log.csv" << "log.csv" << 0 << "log.csv";
    QTest::newRow("image: a new name gets .png") << true << "" << "graph" << 0 << "graph.png";
    QTest::newRow("image: replacing asked, yes") << true << "graph.png" << "graph" << yes << "graph.png";
    QTest::newRow("image: replacing asked, no") << true << "run.csv" << "run.csv" << no << "";
}

void DataLogTest::desktopDialog()
{
    QFETCH(bool, image);
    QFETCH(QString, present);
    QFETCH(QString, typed);
    QFETCH(int, answer);
    QFETCH(QString, expected);
    if (!present.isEmpty()) {
        QFile file(path(present));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    // Plays the user: types the name and confirms; answers the question if one comes, and
    // cancels when the dialog is still there after that.
    int questions = 0;
    bool typedOnce = false;
    QTimer user;
    user.setInterval(20);
    QObject::connect(&user, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            ++questions;
            box->button(QMessageBox::StandardButton(answer ? answer : QMessageBox::No))->click();
        } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            if (typedOnce) {
                dialog->reject();
                return;
            }
            typedOnce = true;
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(typed);
            // Queued: the question it may ask waits in a loop of its own, and this timer must
            // be free to answer it.
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        }
    });
    user.start();
    QtSaveFileDialog dialog(image ? QtSaveFileDialog::ExistingFile::Replace
                                  : QtSaveFileDialog::ExistingFile::Append);
    QString name = path(image ? QStringLiteral("graph.png") : QStringLiteral("output.csv"));
    const int result = dialog.ShowSave(nullptr,
                                       image ? QStringLiteral("PNG image(*.png)|*.png")
                                             : QStringLiteral("Comma-separated-value(*.csv)|*.csv"),
                                       name);
    QCOMPARE(questions, answer ? 1 : 0);
    QCOMPARE(result, expected.isEmpty() ? int(SaveFileDialog::cancelError) : 0);
    if (!expected.isEmpty())
        QCOMPARE(QFileInfo(name).absoluteFilePath(), QFileInfo(path(expected)).absoluteFilePath());
}

namespace {

enum class WriteFault { MissingFolder, FolderInTheWay, SizeLimit };

// Lets no file grow past `limit` bytes while it lasts, as `ulimit -f` does, with the signal the
// system then sends ignored, as the programs do: the write just fails.
struct FileSizeLimit
{
    explicit FileSizeLimit(qint64 limit)
    {
        ::getrlimit(RLIMIT_FSIZE, &old);
        const rlimit lowered{rlim_t(limit), old.rlim_max};
        set = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, handler);
    }
    void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    bool set = false;
};

} // namespace

void DataLogTest::writeErrorUntilCauseGoes_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<QByteArray>("existing"); // the log before the failing readings
    QTest::addColumn<int>("room");            // how far past it a size limit lets the file grow
    QTest::addColumn<QByteArray>("mend");     // what goes before the record once it fits
    QTest::addColumn<int>("error");
    const QByteArray none, whole("a,b\r\n"), unended("a,b"), torn("a,b\r\n5/1/24,12:0");
    const int record = int(valid.size()) + 2;
    QTest::newRow("missing folder") << int(WriteFault::MissingFolder) << none << 0 << none << ENOENT;
    QTest::newRow("folder in the way") << int(WriteFault::FolderInTheWay) << none << 0 << none << EISDIR;
    // The limit lets the write through in part and refuses the rest: the part must go again.
    const int limit = int(WriteFault::SizeLimit);
    const QByteArray crlf("\r\n");
    QTest::newRow("limit, new file") << limit << none << 10 << none << EFBIG;
    QTest::newRow("limit, nothing fits") << limit << whole << 0 << none << EFBIG;
    QTest::newRow("limit, record cut") << limit << whole << 10 << none << EFBIG;
    QTest::newRow("limit, all but the line feed") << limit << whole << record - 1 << none << EFBIG;
    QTest::newRow("limit, only the mended line end fits") << limit << unended << 2 << crlf << EFBIG;
    QTest::newRow("limit, cut inside the mended line end") << limit << unended << 1 << crlf << EFBIG;
    QTest::newRow("limit, torn record mended, then cut") << limit << torn << 2 + 10 << crlf << EFBIG;
}

void DataLogTest::writeErrorUntilCauseGoes()
{
    QFETCH(int, fault);
    QFETCH(QByteArray, existing);
    QFETCH(int, room);
    QFETCH(QByteArray, mend);
    QFETCH(int, error);
    const QString file = path(WriteFault(fault) == WriteFault::SizeLimit ? QStringLiteral("log.csv")
                                                                         : QStringLiteral("sub/log.csv"));
    if (WriteFault(fault) == WriteFault::FolderInTheWay)
        QVERIFY(QDir().mkpath(file));
    if (!existing.isEmpty()) {
        QFile log(file);
        QVERIFY(log.open(QIODevice::WriteOnly) && log.write(existing) == existing.size());
    }
    LogWindow w;
    w.state.saveToDisk = true;
    w.session.setLogFile(file);
    // Looked at once the limit is gone, so that a failure can still be reported in full.
    QStringList statuses;
    QByteArrayList logs;
    {
        std::optional<FileSizeLimit> limit;
        if (WriteFault(fault) == WriteFault::SizeLimit)
            QVERIFY(limit.emplace(existing.size() + room).set);
        for (int reading = 0; reading < 2; ++reading) {
            w.status->setText(QStringLiteral("reading"));
            w.session.saveData(valid);
            statuses << w.status->text();
            logs << contents(file);
        }
    }
    for (int reading = 0; reading < 2; ++reading) {
        QCOMPARE(statuses[reading], QStringLiteral("Error %1 was encountered when writing to disk.").arg(error));
        // Nothing of the lost record stays, not even the line end put in front of it.
        QCOMPARE(logs[reading], existing);
    }
    QVERIFY(w.state.saveToDisk);

    if (WriteFault(fault) == WriteFault::MissingFolder)
        QVERIFY(QDir().mkpath(path("sub")));
    else if (WriteFault(fault) == WriteFault::FolderInTheWay)
        QVERIFY(QDir(file).removeRecursively());
    w.status->setText(QStringLiteral("reading"));
    w.session.saveData(valid);
    QCOMPARE(w.status->text(), QStringLiteral("reading"));
    QCOMPARE(contents(file), existing + mend + valid.toLatin1() + "\r\n");
}

void DataLogTest::killedWriterLeavesWholeLines()
{
    // A kill tears a record only while the writer is between system calls. On a memory file
    // system the sync costs nothing, so the writer spends its time there and a record written in
    // pieces is caught; on a disk the sync would take nearly all of it.
    QTemporaryDir memory(QStringLiteral("/dev/shm/tervalo-XXXXXX"));
    const QString file = memory.isValid() ? memory.filePath(QStringLiteral("killed.csv"))
                                          : path(QStringLiteral("killed.csv"));
    const int rounds = 100;
    for (int round = 0; round < rounds; ++round) {
        QProcess writer;
        writer.start(QStringLiteral(DATALOG_WRITER), {file});
        QVERIFY2(writer.waitForReadyRead(10000), "the writer wrote no record");
        QThread::usleep(QRandomGenerator::global()->bounded(3000));
        writer.kill();
        QVERIFY(writer.waitForFinished(10000));
    }
    const QByteArray all = contents(file);
    QVERIFY(all.endsWith("\r\n"));
    const QStringList lines = QString::fromLatin1(all.chopped(2)).split(QStringLiteral("\r\n"));
    QVERIFY(lines.size() >= rounds);
    qsizetype end = 0;
    for (const QString &line : lines) {
        end += line.size();
        // The system itself may cut a write where it crosses from one page of the file to the
        // next (a kill lands between the two); the next record then starts on a line of its own.
        // Cut anywhere else, a record was written in pieces.
        if (!isWholeWriterRecord(line))
            QVERIFY2(end % 4096 == 0, qPrintable(line));
        end += 2;
    }
}

QTEST_MAIN(DataLogTest)
#include "datalog_test.moc"
