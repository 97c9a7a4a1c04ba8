// The graph: its history, the window that shows it, opening and closing, printing and saving.

#include "output/filedialog.h"
#include "output/frmgraph.h"
#include "output/graph.h"
#include "output/printing.h"

#include <QChartView>
#include <QFile>
#include <QLegend>
#include <QLineSeries>
#include <QPrinterInfo>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QValueAxis>

using namespace tervalo;
using Reading = std::array<qint16, graphChannels>;

namespace {

// Reading number k (from 1): a distinct value on every channel, some below zero.
Reading reading(int k)
{
    Reading r{};
    for (int c = 0; c < graphChannels; ++c)
        r[c] = qint16(k * 10 + c - 200);
    return r;
}

// The rest of the main window, as the graph sees it, with the graph opened.
struct Fixture
{
    Fixture()
    {
        plot.setHooks({[this] { return unit; }, [this] { return continuous; }});
        QObject::connect(&plot, &GraphPlot::commTimerEnabled, [this](bool on) { timerCalls << on; });
        plot.cmdGraph_Click();
        catchMessages();
    }
    void catchMessages()
    {
        plot.window()->showMessage = [this](const QString &text) {
            messages << text;
            timerCallsAtMessage = timerCalls.size();
        };
    }
    void feed(int readings)
    {
        for (int k = 1; k <= readings; ++k) {
            value = reading(k);
            plot.updateGraph(value);
        }
    }
    Reading value{};
    QString unit = QStringLiteral("Celsius");
    bool continuous = false;
    QList<bool> timerCalls;
    QStringList messages;
    qsizetype timerCallsAtMessage = -1;
    GraphPlot plot;
};

// Every series holds the 50 points of the history at x = 0..49, the newest at the right.
void compareChart(const frmGraph *window, const GraphData &data)
{
    for (int c = 0; c < graphChannels; ++c) {
        const QList<QPointF> points = window->series[c]->points();
        QCOMPARE(points.size(), graphPoints);
        for (int i = 0; i < graphPoints; ++i)
            QCOMPARE(points[i], QPointF(i, data[i][c]));
    }
}

struct TestPrinter : GraphPrinter
{
    TestPrinter(const QString &pdf, bool works) : pdf(pdf), works(works) {}
    bool print(const QImage &image, QString &failure) override
    {
        printed = image;
        failure = QStringLiteral("paper jam");
        return works && pdf.print(image, failure);
    }
    PdfGraphPrinter pdf;
    bool works;
    QImage printed;
};

struct FakeDialog : SaveFileDialog
{
    FakeDialog(int result, const QString &name) : result(result), name(name) {}
    int ShowSave(QWidget *, const QString &, QString &fileName) override
    {
        fileName = name;
        return result;
    }
    int result;
    QString name;
};

} // namespace

class GraphTest : public QObject
{
    Q_OBJECT
private slots:
    void history_data();
    void history();
    void windowFollowsReadings();
    void valueAxisFollowsHistory_data();
    void valueAxisFollowsHistory();
    void openingAgain_data();
    void openingAgain();
    void print_data();
    void print();
    void saveImage_data();
    void saveImage();
};

void GraphTest::history_data()
{
    QTest::addColumn<int>("readings");
    for (const int n : {1, 49, 50, 51, 137})
        QTest::addRow("%d readings", n) << n;
}

void GraphTest::history()
{
    QFETCH(int, readings);
    GraphData data{};
    for (int k = 1; k <= readings; ++k)
        pushReading(data, reading(k));
    for (int p = 0; p < graphPoints; ++p) {
        const int k = readings - (graphPoints - 1) + p; // the reading shown at point p
        QCOMPARE(data[p], k >= 1 ? reading(k) : Reading{});
    }
}

void GraphTest::windowFollowsReadings()
{
    Fixture f;
    frmGraph *window = f.plot.window();
    QCOMPARE(window->axisY->titleText(), QStringLiteral("Temperature Celsius"));
    QVERIFY(window->graphTemp->chart()->legend()->isVisible());
    for (int c = 0; c < graphChannels; ++c)
        QCOMPARE(window->series[c]->name(), QStringLiteral("Ch%1").arg(c + 1));

    // Channel 3 is disabled throughout, and reading 20 failed to decode.
    for (int k = 1; k <= 51; ++k) {
        f.value = k == 20 ? Reading{} : reading(k);
        f.value[2] = 0;
        f.plot.updateGraph(f.value);
    }
    compareChart(window, f.plot.graphData);
    QCOMPARE(f.plot.graphData[graphPoints - 1], f.value);
    QCOMPARE(f.plot.graphData[0][0], reading(2)[0]); // the 51st pushed the first out
    QCOMPARE(f.plot.graphData[graphPoints - 1 - (51 - 20)], Reading{});
    for (const auto &point : f.plot.graphData)
        QCOMPARE(point[2], qint16(0));
    QVERIFY(window->axisY->min() <= reading(1)[0]); // every reading and 0 in sight
    QVERIFY(window->axisY->max() >= reading(51)[5]);
}

void GraphTest::valueAxisFollowsHistory_data()
{
    // Readings fed on every channel, then how many steady readings of 20 follow.
    QTest::addColumn<QList<int>>("readings");
    QTest::addColumn<int>("steady");
    QTest::newRow("steady") << QList<int>{20} << 60;
    QTest::newRow("spike still in sight") << QList<int>{20, 900, 20} << 10;
    QTest::newRow("spike scrolled out") << QList<int>{20, 900, 20} << 50;
    QTest::newRow("dip scrolled out") << QList<int>{20, -300, 20} << 50;
    QTest::newRow("dip still in sight") << QList<int>{-300} << 49;
    QTest::newRow("climb") << QList<int>{100, 200, 400, 800, 1600} << 0;
}

void GraphTest::valueAxisFollowsHistory()
{
    QFETCH(QList<int>, readings);
    QFETCH(int, steady);
    Fixture f;
    for (int i = 0; i < readings.size() + steady; ++i) {
        f.value.fill(qint16(i < readings.size() ? readings[i] : 20));
        f.plot.updateGraph(f.value);
    }
    frmGraph *window = f.plot.window();
    compareChart(window, f.plot.graphData);
    int low = 0;
    int high = 0;
    for (const auto &point : f.plot.graphData) {
        low = std::min<int>(low, point[0]);
        high = std::max<int>(high, point[0]);
    }
    // Everything in sight and 0 on the axis, and no room kept for a reading gone from the graph.
    QVERIFY(window->axisY->min() <= low && window->axisY->max() > high);
    QVERIFY(window->axisY->max() - window->axisY->min() <= 2 * (high - low) + 20);
}

enum class Again { WhileOpen, AfterExit, AfterCloseBox, UnitChange };

void GraphTest::openingAgain_data()
{
    QTest::addColumn<Again>("how");
    QTest::newRow("while open") << Again::WhileOpen;
    QTest::newRow("after Exit") << Again::AfterExit;
    QTest::newRow("after the close box") << Again::AfterCloseBox;
    QTest::newRow("unit change while open") << Again::UnitChange;
}

void GraphTest::openingAgain()
{
    QFETCH(Again, how);
    Fixture f;
    f.feed(3);
    const GraphData before = f.plot.graphData;
    f.unit = QStringLiteral("Fahrenheit");
    if (how == Again::AfterExit)
        f.plot.window()->cmdExit->click();
    if (how == Again::AfterCloseBox)
        f.plot.window()->close();
    if (how == Again::AfterExit || how == Again::AfterCloseBox)
        QVERIFY(!f.plot.graphVisible() && !f.plot.window());
    if (how == Again::UnitChange)
        f.plot.initGraph();
    else
        f.plot.mnuGraph_Click();

    const bool fresh = how != Again::WhileOpen;
    QVERIFY(f.plot.graphVisible());
    QCOMPARE(f.plot.window()->axisY->titleText(),
             QStringLiteral("Temperature ") + (fresh ? "Fahrenheit" : "Celsius"));
    QCOMPARE(f.plot.graphData, fresh ? GraphData{} : before);
    compareChart(f.plot.window(), f.plot.graphData);
}

enum class Printer { Pdf, Failing, System };

void GraphTest::print_data()
{
    QTest::addColumn<bool>("continuous");
    QTest::addColumn<Printer>("printer");
    QTest::newRow("continuous run") << true << Printer::Pdf;
    QTest::newRow("idle") << false << Printer::Pdf;
    QTest::newRow("continuous run, printer fails") << true << Printer::Failing;
    QTest::newRow("idle, printer fails") << false << Printer::Failing;
    QTest::newRow("continuous run, no printer") << true << Printer::System;
}

void GraphTest::print()
{
    QFETCH(bool, continuous);
    QFETCH(Printer, printer);
    if (printer == Printer::System && !QPrinterInfo::defaultPrinter().isNull())
        QSKIP("this machine has a default printer");
    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("graph.pdf"));
    Fixture f;
    f.continuous = continuous;
    f.feed(30);
    frmGraph *window = f.plot.window();
    auto owned = std::make_unique<TestPrinter>(pdf, printer == Printer::Pdf);
    const TestPrinter *test = owned.get();
    if (printer != Printer::System)
        window->setPrinter(std::move(owned));

    window->cmdPrint->click();

    // The timer stops for the print and runs again only when a continuous run goes on.
    const QList<bool> expected = continuous ? QList<bool>{false, true} : QList<bool>{false};
    QCOMPARE(f.timerCalls, expected);
    if (printer != Printer::Pdf) {
        QCOMPARE(f.messages.size(), 1);
        QVERIFY(f.messages[0].contains(printer == Printer::System ? "No printer" : "paper jam"));
        QCOMPARE(f.timerCallsAtMessage, expected.size()); // readings resume before the box waits
        return;
    }
    // What goes to the printer is the window as shown.
    QCOMPARE(qint64(test->printed.width()) * window->height(),
             qint64(test->printed.height()) * window->width());
    QVERIFY(f.messages.isEmpty());
    QFile file(pdf);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.startsWith("%PDF-") && bytes.trimmed().endsWith("%%EOF"));
    QVERIFY(bytes.size() > 10000 && bytes.contains("/Subtype /Image"));
    static const QRegularExpression pageObject(QStringLiteral("/Type\\s*/Page(?!s)"));
    QCOMPARE(QString::fromLatin1(bytes).count(pageObject), 1);

    const QString pdftoppm = QStandardPaths::findExecutable(QStringLiteral("pdftoppm"));
    if (pdftoppm.isEmpty())
        return; // poppler-utils is not installed: the page is not rendered
    const QString prefix = dir.filePath(QStringLiteral("page"));
    QCOMPARE(QProcess::execute(pdftoppm, {"-png", "-r", "40", "-singlefile", pdf, prefix}), 0);
    const QImage page(prefix + QStringLiteral(".png"));
    QVERIFY(page.width() > page.height()); // a landscape page for a landscape window
    qsizetype inked = 0;
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x)
            inked += page.pixel(x, y) != qRgb(255, 255, 255);
    QVERIFY(inked > qsizetype(page.width()) * page.height() / 2); // the window's grey and chart
}

void GraphTest::saveImage_data()
{
    QTest::addColumn<int>("dialogResult");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("fileStart");
    QTest::newRow("png") << 0 << "chart.png" << QByteArray("\x89PNG");
    QTest::newRow("pdf") << 0 << "chart.PDF" << QByteArray("%PDF-");
    QTest::newRow("cancelled") << 32755 << "chart.png" << QByteArray();
    QTest::newRow("unwritable") << 0 << "missing/chart.png" << QByteArray();
}

void GraphTest::saveImage()
{
    QFETCH(int, dialogResult);
    QFETCH(QString, name);
    QFETCH(QByteArray, fileStart);
    QTemporaryDir dir;
    QFile file(dir.filePath(name));
    Fixture f;
    f.plot.window()->setImageDialog(std::make_unique<FakeDialog>(dialogResult, file.fileName()));
    QVERIFY(f.plot.window()->graphTemp->actions().contains(f.plot.window()->mnuSaveImage));
    f.plot.window()->mnuSaveImage->trigger();

    QCOMPARE(file.exists(), !fileStart.isEmpty());
    QCOMPARE(f.messages.size(), int(dialogResult == 0 && fileStart.isEmpty()));
    if (file.exists())
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll().startsWith(fileStart));
}

QTEST_MAIN(GraphTest)
#include "graph_test.moc"
