// The history window: zoom, fit and hiding a channel, files that are no logs, following a log
// and the readings in memory as they grow, and the export of what is visible.

#include "common/logrecord.h"
#include "device/cardreading.h"
#include "history/frmhistory.h"
#include "history/historykeeper.h"
#include "history/historystyle.h"
#include "history/markers.h"
#include "output/datalogfile.h"
#include "settings/registryfile.h"
#include "tests/support/scripteddialog.h"

#include <QApplication>
#include <QFile>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <qcustomplot.h>

#include <cmath>
#include <set>

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
    void initTestCase()
    {
        // Channel names go to a settings file of the test's own.
        RegistryManagement::setStoreFile(m_settings.filePath(QStringLiteral("settings.reg")).toStdString());
    }
    void zoomFitAndHide();
    void badFiles_data();
    void badFiles();
    void followsLog();
    void exportsVisibleRecords();
    void exportsReadingsInMemory();
    void keeperFollowsLogging();
    void readsLargeLogInBackground();
    void linesFollowTheWindowSize();
    void answersAboutARun();
    void coloursStayApart_data();
    void coloursStayApart();

private:
    QTemporaryDir m_settings;
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

    // The cursor reads the values under the mouse, of the channels shown.
    w.mouse(QEvent::MouseMove, frame.center(), Qt::NoButton, {});
    QVERIFY2(w.window->lblCursor->text().contains(QStringLiteral("Ch5 ")), qPrintable(w.window->lblCursor->text()));
    QVERIFY(!w.window->lblCursor->text().contains(QStringLiteral("Ch6")));

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
    // Ten records in Fahrenheit among Celsius are shown converted and exported as logged; ten
    // of raw counts are left out of both.
    writeFile(w.log, records(0, 100) + records(100, 110, 'f') + records(110, 120, 'r') +
                         records(120, 600));
    w.window->openFile(w.log);
    QVERIFY2(w.window->lblStatus->text().contains(QStringLiteral("10 of them logged in Fahrenheit")) &&
                 w.window->lblStatus->text().contains(QStringLiteral("10 records of raw counts left out")),
             qPrintable(w.window->lblStatus->text()));
    const double t0 = double(start.toSecsSinceEpoch());
    w.window->plot->xAxis->setRange(t0 + 95, t0 + 299);
    const QString out = w.dir.filePath(QStringLiteral("part.csv"));
    QVERIFY(w.window->exportCsv(out));
    QFile file(out);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), records(95, 100) + records(100, 110, 'f') + records(120, 300));

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
        keeper.readingTaken(reading(i, i == 13 ? 'r' : 'c'));
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
    QCOMPARE(file.readAll(), records(5, 13) + records(14, 15)); // 13 in raw counts, left out
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

void HistoryWindowTest::readsLargeLogInBackground()
{
    Window w;
    const int total = 60000;
    writeFile(w.log, records(0, total));
    w.window->backgroundLoadBytes = 0;

    // A timer on the window's thread keeps firing while the log is read.
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    int ticks = 0;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        longest = std::max(longest, clock.elapsed() - last);
        last = clock.elapsed();
        ++ticks;
    });
    QSignalSpy loaded(w.window.get(), &frmHistory::loaded);
    w.window->followFile(w.log);
    clock.start();
    timer.start();
    QVERIFY(w.window->loading());
    QVERIFY(w.window->prgLoad->isVisible() && w.window->cmdCancel->isVisible());
    QVERIFY(loaded.wait(60000));
    timer.stop();
    QCOMPARE(w.window->data().size(), total);
    QVERIFY(!w.window->prgLoad->isVisible());
    // The first picture's lines, worked out on the loader's thread, are the whole log's, with
    // at least a column a pixel.
    const auto lines = decimateAll(w.window->data(), w.x().lower, w.x().upper,
                                   w.window->plot->axisRect()->width());
    QVERIFY(w.window->plot->graph(2)->dataCount() >= int(lines[2].keys.size()));
    QCOMPARE(w.window->plot->graph(2)->data()->at(w.window->plot->graph(2)->dataCount() - 1)->value,
             double(lines[2].values.constLast()));
    QVERIFY(ticks > 3);
    // Read on the window's thread, the log would hold the timer up for seconds; the window's own
    // share (taking the log in and drawing it) is well under 100 ms in a Release build, and gets
    // room here for the sanitizers' build on a busy machine.
    QVERIFY2(longest < 250, qPrintable(QString::number(longest)));
    // Followed on from where the read ended.
    QCOMPARE(appendLogRecord(w.log, record(total)), 0);
    w.window->readingTaken({}, w.log);
    QCOMPARE(w.window->data().size(), total + 1);

    // Cancelled: what was read stays, and the window no longer follows the log.
    w.window->followFile(w.log);
    w.window->cmdCancel->click();
    QVERIFY(loaded.wait(60000));
    QVERIFY(!w.window->loading());
    QVERIFY(!w.window->following());
    QVERIFY(w.window->data().size() <= total + 1);
    QVERIFY2(w.window->lblStatus->text().contains(QStringLiteral("cancelled")),
             qPrintable(w.window->lblStatus->text()));

    // Closing the window while a log is read waits for the read to stop.
    w.window->followFile(w.log);
    w.window.reset();
    QVERIFY(w.messages.isEmpty());
}

void HistoryWindowTest::linesFollowTheWindowSize()
{
    // Opened while a long log is followed: the lines are worked out before the window has its
    // size, and again once it has it.
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("log.csv"));
    writeFile(log, records(0, 20000));
    frmHistory window;
    window.followFile(log);
    window.resize(900, 600);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.plot->replot();
    // Up to four points a column: far more than the few dozen columns of a window not laid out.
    QVERIFY2(window.plot->graph(0)->dataCount() > 4 * window.plot->axisRect()->width() / 2,
             qPrintable(QString::number(window.plot->graph(0)->dataCount())));
}

void HistoryWindowTest::answersAboutARun()
{
    Window w;
    writeFile(w.log, records(0, 600));
    w.window->openFile(w.log);
    const double t0 = double(start.toSecsSinceEpoch());
    frmHistory &window = *w.window;

    // The keys move and zoom in time.
    window.plot->setFocus();
    QTest::keyClick(window.plot, Qt::Key_Plus);
    QVERIFY(std::abs(w.x().size() - 599 * 0.7) < 1e-3);
    QTest::keyClick(window.plot, Qt::Key_Home);
    QCOMPARE(w.x().lower, t0);
    QTest::keyClick(window.plot, Qt::Key_Right);
    QVERIFY(std::abs(w.x().lower - (t0 + 599 * 0.07)) < 1e-3);
    QTest::keyClick(window.plot, Qt::Key_End);
    QVERIFY(std::abs(w.x().upper - (t0 + 599)) < 1e-3);

    // Shown in Fahrenheit: channel 2 reads 100 + i °C.
    window.setShownUnit('f');
    QCOMPARE(window.data().value(50, 1), 150 * 1.8f + 32);
    QVERIFY(window.plot->yAxis->label().contains(QStringLiteral("Fahrenheit")));
    window.setShownUnit('c');

    // A range, its statistics, named channels, and the text copied.
    window.setChannelNames({QStringLiteral("top shelf"), {}, {}, {}, {}, {}});
    QCOMPARE(window.plot->graph(0)->name(), QStringLiteral("Ch1 top shelf"));
    window.txtThreshold->setText(QStringLiteral("150"));
    window.selectRange(std::pair(t0 + 100, t0 + 200));
    QVERIFY(window.statsPanel->isVisibleTo(&window));
    QCOMPARE(window.statistics().channels[0].count, 101);
    QCOMPARE(window.statistics().channels[0].above, 50.0); // channel 1 is 100..200, above 150
    QString copied;
    window.copyText = [&copied](const QString &text) { copied = text; };
    window.cmdCopyStats->click();
    QVERIFY2(copied.contains(QStringLiteral("Ch1 top shelf")), qPrintable(copied));

    // Two cursors: 60 s apart, every channel rising 60, a ramp of 60 a minute.
    window.setCursor(0, t0 + 10);
    window.setCursor(1, t0 + 70);
    QCOMPARE(window.cursorDifference().dt, 60.0);
    QCOMPARE(window.cursorDifference().ratePerMinute[2], 60.0);
    QVERIFY(window.lblCursors->text().contains(QStringLiteral("60.000")));

    // A marker goes to the file beside the log, never into it, and comes back with the log.
    const QByteArray logged = records(0, 600);
    window.askMarkerText = [](double) { return QStringLiteral("door opened, ü"); };
    QVERIFY(window.addMarker(t0 + 300, QStringLiteral("door opened, ü")));
    QVERIFY(QFile::exists(markerFileName(w.log)));
    QFile logFile(w.log);
    QVERIFY(logFile.open(QIODevice::ReadOnly));
    QCOMPARE(logFile.readAll(), logged);
    window.openFile(w.log);
    QCOMPARE(window.markers().size(), 1);
    QCOMPARE(window.markers()[0].text, QStringLiteral("door opened, ü"));

    // A second run an hour later, with the same marker 100 s from its start: aligned on its
    // start, then on the marker.
    const QString other = w.dir.filePath(QStringLiteral("other.csv"));
    QByteArray later;
    for (int i = 3600; i < 3900; ++i)
        later += record(i);
    writeFile(other, later);
    QVERIFY(writeMarkers(markerFileName(other), {{t0 + 3700, QStringLiteral("door opened, ü")}}));
    window.compareWith(other);
    QCOMPARE(window.comparisonShift(), -3600.0);
    QVERIFY(window.plot->graphCount() == 12 && window.plot->graph(6)->dataCount() > 0);
    QCOMPARE(window.plot->graph(6)->data()->constBegin()->key, t0);
    window.alignComparison(QStringLiteral("door opened, ü"));
    QCOMPARE(window.comparisonShift(), -3400.0);
    QVERIFY(window.lblStatus->text().contains(QStringLiteral("aligned on the marker")));

    // The report: a PDF page with the range's statistics.
    window.selectRange(std::pair(t0 + 100, t0 + 200));
    const ReportContent content = window.reportContent();
    QCOMPARE(content.statsTable.size(), 7);
    QVERIFY(content.channelLines.contains(QStringLiteral("Ch1 top shelf (°C)")));
    QCOMPARE(content.markers.size(), 1);
    const QString pdf = w.dir.filePath(QStringLiteral("report.pdf"));
    QVERIFY(window.exportReportPdf(pdf));
    QFile report(pdf);
    QVERIFY(report.open(QIODevice::ReadOnly));
    QCOMPARE(report.read(4), QByteArray("%PDF"));
    window.setChannelNames({});
    QVERIFY(w.messages.isEmpty());
}

void HistoryWindowTest::coloursStayApart_data()
{
    // How the colours look with each common colour-vision deficiency, simulated on linear RGB
    // (Machado, Oliveira and Fernandes 2009, severity 1).
    using Matrix = std::array<std::array<double, 3>, 3>;
    QTest::addColumn<Matrix>("vision");
    QTest::newRow("normal") << Matrix{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    QTest::newRow("deuteranopia") << Matrix{{{0.367322, 0.860646, -0.227968},
                                             {0.280085, 0.672501, 0.047413},
                                             {-0.011820, 0.042940, 0.968881}}};
    QTest::newRow("protanopia") << Matrix{{{0.152286, 1.052583, -0.204868},
                                           {0.114503, 0.786281, 0.099216},
                                           {-0.003882, -0.048116, 1.051998}}};
    QTest::newRow("tritanopia") << Matrix{{{1.255528, -0.076749, -0.178779},
                                           {-0.078411, 0.930809, 0.147602},
                                           {0.004733, 0.691367, 0.303900}}};
}

void HistoryWindowTest::coloursStayApart()
{
    using Matrix = std::array<std::array<double, 3>, 3>;
    QFETCH(Matrix, vision);
    // CIELAB of a colour as seen: a difference of about 20 is clearly two colours, under 10 is
    // easily taken for one (the six colours before were 7 apart with deuteranopia, 5 with
    // protanopia).
    const auto lab = [&vision](const QColor &colour) {
        const auto linear = [](double c) {
            return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        const std::array<double, 3> rgb{linear(colour.redF()), linear(colour.greenF()), linear(colour.blueF())};
        std::array<double, 3> seen{};
        for (size_t r = 0; r < 3; ++r)
            seen[r] = std::clamp(vision[r][0] * rgb[0] + vision[r][1] * rgb[1] + vision[r][2] * rgb[2], 0.0, 1.0);
        const double x = (0.4124 * seen[0] + 0.3576 * seen[1] + 0.1805 * seen[2]) / 0.95047;
        const double y = 0.2126 * seen[0] + 0.7152 * seen[1] + 0.0722 * seen[2];
        const double z = (0.0193 * seen[0] + 0.1192 * seen[1] + 0.9505 * seen[2]) / 1.08883;
        const auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116; };
        return std::array<double, 3>{116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))};
    };
    for (size_t a = 0; a < historyColours.size(); ++a) {
        for (size_t b = a + 1; b < historyColours.size(); ++b) {
            const auto p = lab(historyColours[a]);
            const auto q = lab(historyColours[b]);
            const double distance = std::hypot(p[0] - q[0], p[1] - q[1], p[2] - q[2]);
            QVERIFY2(distance > 20, qPrintable(QStringLiteral("Ch%1 and Ch%2: %3").arg(a + 1).arg(b + 1).arg(distance)));
        }
    }
    // And a mark of its own for every channel, for paper in grey.
    QCOMPARE(std::set(historyMarks.begin(), historyMarks.end()).size(), historyMarks.size());
}

QTEST_MAIN(HistoryWindowTest)
#include "history_window_test.moc"
