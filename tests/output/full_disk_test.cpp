// A log on a disk that fills up while records go in: the record the disk has no room for is
// taken back whole, and once room is made the records go on, each on a line of its own. The disk
// is a small memory file system mounted in a mount namespace of the test's own, which nobody
// else sees and which goes when the test ends. Where no such namespace may be made the test
// exits with the status CTest counts as skipped.

#include "tests/output/datalog_writer.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

constexpr int skippedStatus = 77;

// Mounts the disk, 64 KiB with 8 KiB of it taken by another file, and lets the writer fill it;
// then frees those 8 KiB and lets a second writer fill it again. The writer ends only at a write
// that failed. Prints the log.
constexpr const char *fillTheDisk = R"(
mount -t tmpfs -o size=64k tervalo "$1" || exit 77
head -c 8192 /dev/zero > "$1/other" || exit 2
"$2" "$1/log.csv" > /dev/null && exit 3
rm "$1/other" || exit 2
"$2" "$1/log.csv" > /dev/null && exit 3
cat "$1/log.csv"
)";

} // namespace

class FullDiskTest : public QObject
{
    Q_OBJECT
public:
    bool skipped = false;

private slots:
    void fullDiskLeavesWholeLines();
};

void FullDiskTest::fullDiskLeavesWholeLines()
{
    // Root makes the namespace as it is; anyone else is root in a user namespace of their own.
    QStringList unshare{QStringLiteral("--mount")};
    if (::geteuid() != 0)
        unshare << QStringLiteral("--map-root-user");
    QProcess probe;
    probe.start(QStringLiteral("unshare"), unshare + QStringList{QStringLiteral("true")});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0) {
        skipped = true;
        QSKIP("no mount namespace may be made here (unshare missing or not allowed)");
    }

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString disk = dir.filePath(QStringLiteral("disk"));
    QVERIFY(QDir().mkpath(disk));
    QProcess run;
    run.start(QStringLiteral("unshare"),
              unshare + QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                                    QString::fromLatin1(fillTheDisk), QStringLiteral("sh"), disk,
                                    QStringLiteral(DATALOG_WRITER)});
    QVERIFY(run.waitForFinished(120000));
    if (run.exitCode() == skippedStatus) {
        skipped = true;
        QSKIP("a memory file system may not be mounted here");
    }
    QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0,
             qPrintable(QStringLiteral("status %1: %2")
                            .arg(run.exitCode())
                            .arg(QString::fromLocal8Bit(run.readAllStandardError()))));

    const QByteArray log = run.readAllStandardOutput();
    QVERIFY(log.endsWith("\r\n"));
    const QStringList lines = QString::fromLatin1(log.chopped(2)).split(QStringLiteral("\r\n"));
    for (const QString &line : lines)
        QVERIFY2(isWholeWriterRecord(line), qPrintable(line));
    // Both writers filled the disk to within a record: they stopped because it was full, and the
    // second one went on where the first had stopped.
    const qsizetype record = lines.first().size() + 2;
    QCOMPARE_GT(log.size(), 64 * 1024 - record);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    FullDiskTest test;
    const int failures = QTest::qExec(&test, argc, argv);
    return failures == 0 && test.skipped ? skippedStatus : failures;
}

#include "full_disk_test.moc"
