// The history window: zoom, fit and hiding a channel, files that are no logs, following a log
// and the readings in memory as they grow, and the export of what is visible.

#include "common/logrecord.h"
#include "device/cardreading.h"
#include "history/frmhistory.h"
#include "history/historykeeper.h"
#include "output/datalogfile.h"
#include "tests/support/scripteddialog.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <qcustomplot.h>

using namespace tervalo;

namespace {

const QDateTime start(QDate(2026, 12, 7), QTime(8, 0));

// Record i, one a second: channel c reads c * 100 + i, channel 6 far above the rest.
QByteArray record(int i, char unit = 'c')
{
    QByteArray line = recordPrefix(start.addSecs(i), QString(QLatin1Char(unit))).toLocal8Bit();
    for (int c = 0; c < 5; ++c)
        line += QByteArray::number(c * 100 + i) + ',';
    return line + "9000,\r\n";
}

QByteArray records(int from, int to, char unit = 'c')
{
    QByteArray bytes;
    for (int i = from; i < to; ++i)
        bytes += record(i, unit);
    return bytes;
}

// Reading i, taken a quarter of a second after record i's time, with its values as the card
// pads them.
CardReading reading(int i, char unit = 'c')
{
    QString answer = QStringLiteral("T0");
    for (int c = 0; c < 5; ++c)
        answer += QStringLiteral("0%1").arg(c * 100 + i, 4);
    std::array<bool, channelCount> checked;
    checked.fill(true);
    return decodeAnswer(answer + QStringLiteral("09000"), checked, start.addSecs(i).addMSecs(250),
                        QString(QLatin1Char(unit)));
}

void writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

struct Window
{
    Window()
    {
        window->showMessage = [this](const QString &text) { messages << text; };
        window->resize(900, 600);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    QCPRange x() const { return window->plot->xAxis->range(); }
    QCPRange y() const { return window->plot->yAxis->range(); }
    void mouse(QEvent::Type type, QPoint at, Qt::MouseButtons buttons, Qt::KeyboardModifiers keys)
    {
        QMouseEvent event(type, at, window->plot->mapToGlobal(at),
                          type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons, keys);
        QApplication::sendEvent(window->plot, &event);
    }
    void wheel(int steps)
    {
        const QPointF at = window->plot->axisRect()->rect().center();
        QWheelEvent event(at, window->plot->mapToGlobal(at), {}, QPoint(0, 120 * steps),
                          Qt::NoButton, {}, Qt::NoScrollPhase, false);
        QApplication::sendEvent(window->plot, &event);
    }
    void clickLegend(int channel)
    {
        const QPoint at = window->plot->legend->item(channel)->rect().center();
        mouse(QEvent::MouseButtonPress, at, Qt::LeftButton, {});
        mouse(QEvent::MouseButtonRelease, at, Qt::NoButton, {});
    }
    std::unique_ptr<frmHistory> window = std::make_unique<frmHistory>();
    QStringList messages;
    QTemporaryDir dir;
    QString log = dir.filePath(QStringLiteral("log.csv"));
};

} // namespace

class HistoryWindowTest : public QObject
{
    Q_OBJECT
private slots:
    void zoomFitAndHide();
    void badFiles_data();
    void badFiles();
    void followsLog();
    void exportsVisibleRecords();
    void exportsReadingsInMemory();
    void keeperFollowsLogging();
};

void HistoryWindowTest::zoomFitAndHide()
{
    Window w;
    writeFile(w.log, records(0, 600));
    w.window->openFile(w.log);
    const double t0 = double(start.toSecsSinceEpoch());
    QCOMPARE(w.x(), QCPRange(t0, t0 + 599));
    const QCPRange all = w.y();
    QVERIFY(all.lower < 0 && all.upper > 9000);

    // Hiding channel 6 fits the value axis to the other five.
    w.clickLegend(5);
    QVERIFY(!w.window->plot->graph(5)->visible());
    QVERIFY(w.y().upper < 1200 && w.y().upper > 400 + 599);

    // The wheel zooms in time; the values follow what is visible.
    w.wheel(3);
    QVERIFY(w.x().size() < 599 * 0.7);
    QVERIFY(w.y().upper < 400 + 599);
    const QCPRange zoomed = w.x();

    // A rubber band with Ctrl zooms both axes; the values stay as chosen through later zooms.
    const QRect frame = w.window->plot->axisRect()->rect();
    const QPoint from = frame.center() - QPoint(100, 100);
    const QPoint to = frame.center() + QPoint(100, 100);
    w.mouse(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::ControlModifier);
    w.mouse(QEvent::MouseMove, to, Qt::LeftButton, Qt::ControlModifier);
    w.mouse(QEvent::MouseButtonRelease, to, Qt::NoButton, Qt::ControlModifier);
    QVERIFY(w.x().size() < zoomed.size());
    const QCPRange chosen = w.y();
    w.wheel(-1);
    QCOMPARE(w.y(), chosen);

    // The cursor reads the values under the mouse.
    w.mouse(QEvent::MouseMove, frame.center(), Qt::NoButton, {});
    QVERIFY(w.window->lblCursor->text().contains(QStringLiteral("Ch6 9000")));

    w.window->cmdFit->click();
    QCOMPARE(w.x(), QCPRange(t0, t0 + 599));
    QVERIFY(w.y().upper < 1200);
    w.clickLegend(5);
    QVERIFY(w.window->plot->graph(5)->visible());
    QCOMPARE(w.y(), all);
}

void HistoryWindowTest::badFiles_data()
{
    QTest::addColumn<QByteArray>("content"); // "-": no file
    QTest::addColumn<QString>("message");

    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary += char(i * 7);
    QTest::newRow("missing") << QByteArray("-") << QStringLiteral("not there");
    QTest::newRow("empty") << QByteArray() << QStringLiteral("no readings");
    QTest::newRow("text") << QByteArray("hello,\nworld\n") << QStringLiteral("not a Tervalo log");
    QTest::newRow("binary") << binary << QStringLiteral("not a Tervalo log");
    QTest::newRow("no line end") << binary.replace('\n', ' ') << QStringLiteral("not a Tervalo log");
    QTest::newRow("no readable time") << records(0, 3).replace("2026", "20x6")
                                      << QStringLiteral("date and time");
}

void HistoryWindowTest::badFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, message);

    Window w;
    if (content != "-")
        writeFile(w.log, content);
    w.window->openFile(w.log);
    QCOMPARE(w.messages.size(), 1);
    QVERIFY2(w.messages[0].contains(message), qPrintable(w.messages[0]));
    QVERIFY(w.window->data().isEmpty());
}

void HistoryWindowTest::followsLog()
{
    Window w;
    writeFile(w.log, records(0, 100));
    w.window->followFile(w.log);
    QCOMPARE(w.window->data().size(), 100);

    // Each reading the program logs shows at once, at the end of a view that shows everything.
    QCOMPARE(appendLogRecord(w.log, record(100)), 0);
    w.window->readingTaken(*historySample(reading(100)), w.log);
    QCOMPARE(w.window->data().size(), 101);
    QCOMPARE(w.x().lower, double(start.toSecsSinceEpoch()));
    QVERIFY(w.x().upper >= double(start.addSecs(100).toSecsSinceEpoch()));
    QCOMPARE(w.window->plot->graph(0)->data()->at(w.window->plot->graph(0)->dataCount() - 1)->value, 100.0);

    // A record still being written waits for its line end, even when cut inside it.
    QFile file(w.log);
    QVERIFY(file.open(QIODevice::Append | QIODevice::Unbuffered));
    file.write(record(101).chopped(1));
    w.window->readingTaken({}, w.log);
    QCOMPARE(w.window->data().size(), 101);
    file.write("\n");
    w.window->readingTaken({}, w.log);
    QCOMPARE(w.window->data().size(), 102);

    // Cut short: read again; gone: what was read stays, and the status says so.
    QVERIFY(file.resize(record(0).size() * 5));
    w.window->readingTaken({}, w.log);
    QCOMPARE(w.window->data().size(), 5);
    QVERIFY(w.window->lblStatus->text().contains(QStringLiteral("shorter")));
    file.close();
    QVERIFY(QFile::remove(w.log));
    w.window->readingTaken({}, w.log);
    QCOMPARE(w.window->data().size(), 5);
    QVERIFY(w.window->lblStatus->text().contains(QStringLiteral("not there")));
    QVERIFY(w.messages.isEmpty());
}

void HistoryWindowTest::exportsVisibleRecords()
{
    Window w;
    // Ten records in Fahrenheit among Celsius: left out of the view and of the export.
    writeFile(w.log, records(0, 100) + records(100, 110, 'f') + records(110, 600));
    w.window->openFile(w.log);
    QVERIFY(w.window->lblStatus->text().contains(QStringLiteral("10 records in other units")));
    const double t0 = double(start.toSecsSinceEpoch());
    w.window->plot->xAxis->setRange(t0 + 95, t0 + 299);
    const QString out = w.dir.filePath(QStringLiteral("part.csv"));
    QVERIFY(w.window->exportCsv(out));
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), records(95, 100) + records(110, 300));

    // The same view as a picture or a page, by the name's ending.
    auto dialog = std::make_unique<ScriptedDialog>();
    ScriptedDialog *answers = dialog.get();
    w.window->setExportDialog(std::move(dialog));
    for (const auto &[name, start] : {std::pair{"view.png", "\x89PNG"}, {"view.pdf", "%PDF"}}) {
        answers->answer = w.dir.filePath(QLatin1String(name));
        w.window->cmdExport->click();
        QFile picture(answers->answer);
        QVERIFY(picture.open(QIODevice::ReadOnly));
        QCOMPARE(picture.read(4), QByteArray(start));
    }
    QVERIFY(w.messages.isEmpty());
}

void HistoryWindowTest::exportsReadingsInMemory()
{
    Window w; // for its folder
    HistoryKeeper keeper;
    for (int i = 0; i < 20; ++i)
        keeper.readingTaken(reading(i, i == 13 ? 'f' : 'c'));
    keeper.mnuHistory_Click();
    frmHistory *window = keeper.window();
    QCOMPARE(window->fileName(), QString());
    // The readings lie a quarter second after whole seconds: 5 and 14 are in, 4 and 15 are out.
    const double t0 = double(start.toSecsSinceEpoch());
    window->plot->xAxis->setRange(t0 + 5, t0 + 15);
    const QString out = w.dir.filePath(QStringLiteral("memory.csv"));
    QVERIFY(window->exportCsv(out));
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), records(5, 13) + records(14, 15)); // 13 in Fahrenheit, left out
}

void HistoryWindowTest::keeperFollowsLogging()
{
    Window w; // for its folder
    QString logging = w.log; // logging from the start
    writeFile(w.log, records(0, 2));
    HistoryKeeper keeper(5);
    keeper.logFile = [&logging] { return logging; };
    for (int i = 0; i < 8; ++i)
        keeper.readingTaken(reading(i));
    QCOMPARE(keeper.records().size(), 5);

    keeper.mnuHistory_Click();
    frmHistory *window = keeper.window();
    QVERIFY(window && window->isVisible() && window->following());
    window->showMessage = [](const QString &text) { QFAIL(qPrintable(text)); };
    QCOMPARE(window->fileName(), w.log);
    QCOMPARE(window->data().size(), 2);

    // Logging stops: the readings in memory, though the window first showed the log.
    logging.clear();
    keeper.readingTaken(reading(7));
    QCOMPARE(window->data().size(), 5);
    keeper.readingTaken(reading(8));
    QCOMPARE(window->data().size(), 6);
    QCOMPARE(window->fileName(), QString());
    // Taken, not read back from a record: the milliseconds stay.
    QCOMPARE(window->data().time(5), double(reading(8).when.toMSecsSinceEpoch()) / 1000);

    // Logging starts: the window shows the log.
    writeFile(w.log, records(0, 3));
    logging = w.log;
    keeper.readingTaken(reading(3));
    QCOMPARE(window->fileName(), w.log);
    QCOMPARE(window->data().size(), 3);

    // An opened file stays until Live is pressed.
    const QString other = w.dir.filePath(QStringLiteral("other.csv"));
    writeFile(other, records(0, 2));
    window->openFile(other);
    keeper.readingTaken(reading(4));
    QCOMPARE(window->fileName(), other);
    window->cmdFollow->click();
    QCOMPARE(window->fileName(), w.log);
    QVERIFY(window->following());

    window->close();
    QTRY_VERIFY(!keeper.window());
}

QTEST_MAIN(HistoryWindowTest)
#include "history_window_test.moc"
