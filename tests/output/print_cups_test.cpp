// Printing on the system's default printer through a real CUPS scheduler: a private cupsd with
// one queue that writes its pages to a file, and what the user is told when it refuses a print.

#include "output/frmgraph.h"
#include "output/printing.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPrinterInfo>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdlib>
#include <sys/prctl.h>
#include <unistd.h>

using namespace tervalo;

namespace {

const QString queue = QStringLiteral("Tervalo_Test");

// A PDF printer on A4: pdftopdf is its only filter, so the file its queue writes is the page
// as a PDF printer gets it.
const char ppd[] = R"(*PPD-Adobe: "4.3"
*ModelName: "Tervalo test PDF printer"
*NickName: "Tervalo test PDF printer"
*cupsFilter2: "application/vnd.cups-pdf application/pdf 0 -"
*OpenUI *PageSize: PickOne
*DefaultPageSize: A4
*PageSize A4: "<</PageSize[595 842]>>setpagedevice"
*CloseUI: *PageSize
*DefaultImageableArea: A4
*ImageableArea A4: "18 18 577 824"
*DefaultPaperDimension: A4
*PaperDimension A4: "595 842"
)";

// Everything the scheduler keeps, in DIR.
const char filesConf[] = R"(ServerRoot DIR/conf
RequestRoot DIR/spool
TempDir DIR/spool/tmp
CacheDir DIR/cache
StateDir DIR/state
ErrorLog DIR/log/error_log
AccessLog DIR/log/access_log
PageLog DIR/log/page_log
FileDevice Yes
)";

// Open to anyone on the socket. One job held in a queue fills it: the queue then says it
// accepts jobs, yet turns the next one down.
const char cupsdConf[] = R"(Listen DIR/cups.sock
LogLevel info
Browsing No
WebInterface No
DefaultAuthType None
MaxJobsPerPrinter 1
<Location />
Order allow,deny
Allow all
</Location>
<Policy default>
<Limit All>
Order deny,allow
</Limit>
</Policy>
)";

bool writeFile(const QString &name, const QByteArray &text)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// Waits for a condition, at most the given time.
template <typename Condition> bool waitUntil(Condition condition, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.hasExpired(ms))
            return false;
        QTest::qWait(100);
    }
    return true;
}

// A scheduler of its own, in a folder of its own, reached through a socket in that folder: it
// sees no printer of this machine, and this machine's printing never sees it.
class Scheduler
{
public:
    QString start(const QString &dir)
    {
        m_dir = dir;
        const QString cupsd =
            QStandardPaths::findExecutable(QStringLiteral("cupsd"), {"/usr/sbin", "/sbin"});
        if (cupsd.isEmpty())
            return QStringLiteral("cupsd is not installed (Debian package cups)");
        for (const char *tool :
             {"lpadmin", "lpstat", "lp", "cancel", "cupsreject", "cupsdisable"}) {
            if (QStandardPaths::findExecutable(tool, {"/usr/sbin", "/usr/bin"}).isEmpty())
                return QStringLiteral("%1 is not installed (Debian package cups-client)").arg(tool);
        }
        if (geteuid() != 0)
            return QStringLiteral("not root: the scheduler runs its filters as user lp");
        const QDir root(dir);
        for (const char *sub : {"conf", "spool/tmp", "cache", "state", "log", "out"})
            root.mkpath(sub);
        // The filters run as lp and read the spooled job from inside this folder.
        QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                       QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup |
                                       QFile::ExeGroup);
        const QByteArray d = QFile::encodeName(dir);
        const bool written =
            writeFile(dir + "/conf/cups-files.conf", QByteArray(filesConf).replace("DIR", d)) &&
            writeFile(dir + "/conf/cupsd.conf", QByteArray(cupsdConf).replace("DIR", d)) &&
            writeFile(dir + "/printer.ppd", ppd);
        if (!written)
            return QStringLiteral("cannot write the scheduler's configuration in %1").arg(dir);

        m_cupsd.setProgram(cupsd);
        m_cupsd.setArguments(
            {"-f", "-c", dir + "/conf/cupsd.conf", "-s", dir + "/conf/cups-files.conf"});
        m_cupsd.setProcessChannelMode(QProcess::MergedChannels);
        // Goes when the test goes, even when the test dies.
        m_cupsd.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_cupsd.start();
        const bool up = m_cupsd.waitForStarted(10000) &&
                        waitUntil(
                            [this] {
                                QString said;
                                run("lpstat", {"-r"}, &said);
                                return !running() || said == "scheduler is running";
                            },
                            15000) &&
                        running();
        if (!up) {
            stop();
            return QStringLiteral("cupsd did not start: %1 %2")
                .arg(QString::fromLocal8Bit(m_cupsd.readAll()), log());
        }
        return {};
    }

    void stop()
    {
        if (m_cupsd.state() == QProcess::NotRunning)
            return;
        m_cupsd.terminate();
        if (!m_cupsd.waitForFinished(10000)) {
            m_cupsd.kill();
            m_cupsd.waitForFinished(5000);
        }
    }

    QString output() const { return m_dir + "/out/page"; }
    QString log() const
    {
        QFile file(m_dir + "/log/error_log");
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll().right(3000))
                                              : QString();
    }

    // Runs one of CUPS's command-line tools against this scheduler. Empty when it worked, else
    // what went wrong.
    QString run(const QString &tool, const QStringList &arguments, QString *output = nullptr) const
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStandardPaths::findExecutable(tool, {"/usr/sbin", "/usr/bin"}), arguments);
        const bool finished = process.waitForFinished(20000);
        if (!finished)
            process.kill();
        const QString said = QString::fromLocal8Bit(process.readAll()).trimmed();
        if (output)
            *output = said;
        if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return {};
        return QStringLiteral("%1 %2 failed: %3").arg(tool, arguments.join(' '), said);
    }

    bool running() const { return m_cupsd.state() == QProcess::Running; }

    // Made again, or made afresh: enabled, taking jobs, the default.
    QString addDefaultQueue() const
    {
        const QString failure = run("lpadmin", {"-p", queue, "-v", "file://" + output(), "-P",
                                                m_dir + "/printer.ppd", "-E"});
        return failure.isEmpty() ? run("lpadmin", {"-d", queue}) : failure;
    }

    // The queue's jobs that are still to print.
    QString pendingJobs() const
    {
        QString said;
        run("lpstat", {"-W", "not-completed", "-o", queue}, &said);
        return said;
    }

private:
    QString m_dir;
    QProcess m_cupsd;
};

// The part of a printed page that is not blank paper.
QRect inkedArea(const QImage &page)
{
    QRect area;
    for (int y = 0; y < page.height(); ++y) {
        for (int x = 0; x < page.width(); ++x) {
            if (qGray(page.pixel(x, y)) < 245)
                area |= QRect(x, y, 1, 1);
        }
    }
    return area;
}

// How far two images of the same size are apart: the mean difference of their colour channels.
double meanDifference(const QImage &a, const QImage &b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q));
        }
    }
    return sum / (3.0 * a.width() * a.height());
}

// The graph window during a continuous run, with its timer and message box caught.
struct Window
{
    Window()
    {
        GraphData data{};
        for (int k = 1; k <= 40; ++k)
            pushReading(data, {qint16(k * 5), qint16(100 - k), qint16(-k), 0, qint16(k * k / 10),
                               qint16(50)});
        window->setData(data);
        window->labelSeries();
        window->showLegend();
        window->enableCommTimer = [this](bool on) { timerCalls << on; };
        window->continuousFlag = [] { return true; };
        window->showMessage = [this](const QString &text) {
            messages << text;
            timerCallsAtMessage = timerCalls.size();
        };
        window->show();
    }
    std::unique_ptr<frmGraph> window = std::make_unique<frmGraph>();
    QList<bool> timerCalls;
    QStringList messages;
    qsizetype timerCallsAtMessage = -1;
};

enum class Refusal { NotAccepting, Stopped, QueueFull, NoDefault, NoPrinter, ServiceDown };

} // namespace

class PrintCupsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void printsOnDefaultQueue();
    void refusedPrint_data();
    void refusedPrint();

private:
    QTemporaryDir m_dir{QDir::tempPath() + "/tervalo-cups-XXXXXX"};
    Scheduler m_cups;
};

void PrintCupsTest::initTestCase()
{
#ifndef TERVALO_HAVE_CUPS
    QSKIP("built without CUPS: printing does not ask the print service");
#endif
    QVERIFY(m_dir.isValid());
    // Before anything asks CUPS: the client library reads these once. The home folder and the
    // server root hold the user's and the system's lpoptions, which could name another default.
    qputenv("CUPS_SERVER", QFile::encodeName(m_dir.filePath("cups.sock")));
    qputenv("CUPS_SERVERROOT", QFile::encodeName(m_dir.filePath("conf")));
    qputenv("HOME", QFile::encodeName(m_dir.path()));
    qunsetenv("LPDEST");
    qunsetenv("PRINTER");
    const QString failure = m_cups.start(m_dir.path());
    if (!failure.isEmpty())
        QSKIP(qPrintable(failure));
    QCOMPARE(m_cups.addDefaultQueue(), QString());
    // Qt sees the same scheduler, so the page is laid out for this queue's paper.
    QCOMPARE(QPrinterInfo::defaultPrinter().printerName(), queue);
}

void PrintCupsTest::cleanupTestCase()
{
    m_cups.stop();
}

// Every test starts from one running scheduler with one queue, the default, taking jobs.
void PrintCupsTest::init()
{
    if (!m_cups.running()) {
        const QString failure = m_cups.start(m_dir.path());
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }
    m_cups.run("cancel", {"-a"});
    m_cups.run("lpadmin", {"-x", "Other"});
    QCOMPARE(m_cups.addDefaultQueue(), QString());
    QFile::remove(m_cups.output());
}

void PrintCupsTest::printsOnDefaultQueue()
{
    Window w;
    w.window->cmdPrint->click();
    QCOMPARE(w.messages, QStringList());
    QCOMPARE(w.timerCalls, QList<bool>({false, true}));

    QVERIFY2(
        waitUntil(
            [this] { return QFile::exists(m_cups.output()) && m_cups.pendingJobs().isEmpty(); },
            30000),
        qPrintable(m_cups.log()));
    QFile file(m_cups.output());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().startsWith("%PDF-"));
    const QString pdftoppm = QStandardPaths::findExecutable(QStringLiteral("pdftoppm"));
    if (pdftoppm.isEmpty())
        QSKIP("pdftoppm (poppler-utils) is not installed: the page is not looked at");
    const QString png = m_dir.filePath("page");
    QCOMPARE(QProcess::execute(pdftoppm, {"-png", "-r", "50", "-singlefile", m_cups.output(), png}),
             0);
    const QImage page = QImage(png + ".png").convertToFormat(QImage::Format_RGB32);
    QVERIFY(!page.isNull());

    // The window, whole and undistorted, large on the page, and looking as it does on screen.
    // Landscape on portrait paper is turned a quarter; which way is the printer's business.
    const QImage shown = w.window->windowImage();
    const QRect inked = inkedArea(page);
    QVERIFY(inked.width() > page.width() * 0.8 || inked.height() > page.height() * 0.8);
    double best = 255;
    for (const int angle : {0, 90, -90}) {
        const QImage turned = shown.transformed(QTransform().rotate(angle));
        if (qAbs(double(inked.width()) / inked.height() -
                 double(turned.width()) / turned.height()) > 0.03)
            continue;
        const QImage expected =
            turned.scaled(inked.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .convertToFormat(QImage::Format_RGB32);
        best = std::min(best, meanDifference(page.copy(inked), expected));
    }
    QVERIFY2(best < 6, qPrintable(QStringLiteral("inked %1x%2 of the page, %3 from the window")
                                      .arg(inked.width())
                                      .arg(inked.height())
                                      .arg(best)));
}

void PrintCupsTest::refusedPrint_data()
{
    QTest::addColumn<Refusal>("refusal");
    QTest::addColumn<QStringList>("told");
    QTest::newRow("queue not accepting jobs")
        << Refusal::NotAccepting << QStringList{queue, "not accepting jobs"};
    QTest::newRow("queue stopped") << Refusal::Stopped << QStringList{queue, "stopped"};
    QTest::newRow("job turned down: queue full")
        << Refusal::QueueFull << QStringList{"could not be printed on " + queue + ": "};
    QTest::newRow("printers but no default")
        << Refusal::NoDefault << QStringList{"No printer is set as the default"};
    QTest::newRow("no printer") << Refusal::NoPrinter << QStringList{"No printer is installed"};
    QTest::newRow("print service down")
        << Refusal::ServiceDown << QStringList{"print service cannot be reached"};
}

void PrintCupsTest::refusedPrint()
{
    QFETCH(Refusal, refusal);
    QFETCH(QStringList, told);
    switch (refusal) {
    case Refusal::NotAccepting:
        QCOMPARE(m_cups.run("cupsreject", {"-r", "out of paper", queue}), QString());
        break;
    case Refusal::Stopped:
        QCOMPARE(m_cups.run("cupsdisable", {queue}), QString());
        break;
    case Refusal::QueueFull:
        QVERIFY(writeFile(m_dir.filePath("held.txt"), "held\n"));
        QCOMPARE(m_cups.run("lp", {"-d", queue, "-H", "indefinite", m_dir.filePath("held.txt")}),
                 QString());
        break;
    case Refusal::NoDefault:
        QCOMPARE(m_cups.run("lpadmin", {"-p", "Other", "-v", "file:///dev/null", "-E"}), QString());
        [[fallthrough]];
    case Refusal::NoPrinter:
        QCOMPARE(m_cups.run("lpadmin", {"-x", queue}), QString());
        break;
    case Refusal::ServiceDown:
        m_cups.stop();
        break;
    }

    const QString jobs = m_cups.pendingJobs();
    Window w;
    w.window->cmdPrint->click();

    QCOMPARE(w.messages.size(), 1);
    for (const QString &part : told)
        QVERIFY2(w.messages[0].contains(part), qPrintable(w.messages[0]));
    // Readings go on, and before the message waits for a click.
    QCOMPARE(w.timerCalls, QList<bool>({false, true}));
    QCOMPARE(w.timerCallsAtMessage, 2);
    // Nothing left behind to come out later, when the queue is let go again.
    QCOMPARE(m_cups.pendingJobs(), jobs);

    QVERIFY(!QFile::exists(m_cups.output()));
}

QTEST_MAIN(PrintCupsTest)
#include "print_cups_test.moc"
