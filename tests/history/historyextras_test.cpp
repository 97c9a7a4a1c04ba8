// What the history window keeps and gives beside the plot: markers in their own file, the
// channels' names in the settings store, and the one-page report.

#include "history/channelnames.h"
#include "history/historyreport.h"
#include "history/markers.h"
#include "settings/registryfile.h"
#include "settings/registrymanagement.h"

#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPrinter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <numeric>

using namespace tervalo;

namespace {

constexpr double winter = 1796710503.12; // 2026-12-08T07:15:03.120+01:00

QByteArray contents(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::string nameSetting(int c)
{
    return "Channel " + std::to_string(c + 1) + " Name";
}

// Six names: the defaults but where `named` gives one.
QStringList six(const QMap<int, QString> &named = {})
{
    QStringList names;
    for (int c = 0; c < 6; ++c)
        names.append(named.value(c, QStringLiteral("Ch%1").arg(c + 1)));
    return names;
}

ReportContent sampleReport()
{
    ReportContent content;
    content.title = QStringLiteral("Kiln run 12"); // no "fi": the PDF's text would hold a ligature
    content.logName = QStringLiteral("kiln-2026-12-08.csv");
    content.rangeText = QStringLiteral("8 Dec 2026 07:00 to 8 Dec 2026 19:30");
    content.channelLines = {QStringLiteral("Ch1 top shelf (°C)"), QStringLiteral("Ch2 Tür (°C)")};
    content.statsTable = {{"Channel", "Min", "Max"}, {"Ch1", "21.05", "23.47"}};
    content.markers = {{QStringLiteral("07:15:03"), QStringLiteral("door opened")}};
    return content;
}

} // namespace

class HistoryExtrasTest : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("TZ", "Europe/Berlin"); // so the clock times and offsets written are known
    }
    void init()
    {
        static int round = 0;
        RegistryManagement::setStoreFile(
            m_dir.filePath(QStringLiteral("settings-%1.reg").arg(++round)).toStdString());
    }
    void cleanup()
    {
        RegistryManagement::setStoreFile({});
        QLocale::setDefault(QLocale::c());
    }

    void markersRoundTrip_data()
    {
        QTest::addColumn<QString>("note");
        QTest::addColumn<QByteArray>("line");     // as the file holds it
        QTest::addColumn<QStringList>("locales"); // the writer's, the reader's
        const QStringList c{"C", "C"};
        QTest::newRow("plain") << "door opened" << QByteArray("door opened") << c;
        QTest::newRow("commas, quotes") << "a, \"b\", 'c'" << QByteArray("a, \"b\", 'c'") << c;
        QTest::newRow("tab, non-ASCII") << "Tür\t温度" << QByteArray("Tür\t温度") << c;
        QTest::newRow("line breaks") << "1\n2\r\n" << QByteArray("1\\n2\\r\\n") << c;
        QTest::newRow("backslashes") << "C:\\n\\" << QByteArray("C:\\\\n\\\\") << c;
        QTest::newRow("empty") << "" << QByteArray() << c;
        QTest::newRow("spaces, #") << "  # x " << QByteArray("  # x ") << c;
        QTest::newRow("German to C") << "1,5" << QByteArray("1,5") << QStringList{"de_DE", "C"};
        QTest::newRow("C to German") << "1,5" << QByteArray("1,5") << QStringList{"C", "de_DE"};
        QTest::newRow("Arabic to C") << "1,5" << QByteArray("1,5") << QStringList{"ar_EG", "C"};
    }
    void markersRoundTrip()
    {
        QFETCH(QString, note);
        QFETCH(QByteArray, line);
        QFETCH(QStringList, locales);
        const QString file = markerFileName(m_dir.filePath(QStringLiteral("run.csv")));
        QCOMPARE(file, m_dir.filePath(QStringLiteral("run.csv.markers")));
        // Out of order on purpose: the file keeps them sorted by time.
        const QList<Marker> given = {{winter, note}, {1782900000.005, "summer"}};
        QString problem;
        QLocale::setDefault(QLocale(locales[0]));
        QVERIFY2(writeMarkers(file, given, &problem), qPrintable(problem));
        QCOMPARE(contents(file), "# Tervalo markers\n2026-07-01T12:00:00.005+02:00,summer\n"
                                 "2026-12-08T07:15:03.120+01:00," +
                                     line + "\n");
        QLocale::setDefault(QLocale(locales[1]));
        QCOMPARE(readMarkers(file, &problem).value_or(QList<Marker>()),
                 (QList<Marker>{given[1], given[0]}));
        QCOMPARE(problem, QString());
    }

    void readsMarkerFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<Marker>>("markers");
        QTest::addColumn<QString>("problem");
        const QByteArray at = "2026-12-08T07:15:03.120+01:00,";
        const QList<Marker> one = {{winter, "a, b"}};
        QTest::newRow("comments, blank lines") << "# Tervalo markers\n\n # mine\n" + at + "a, b\n\n"
                                               << one << "";
        QTest::newRow("no file") << QByteArray() << QList<Marker>() << "";
        QTest::newRow("CRLF") << "# Tervalo markers\r\n" + at + "a, b\r\n" << one << "";
        QTest::newRow("byte order mark") << "\xEF\xBB\xBF" + at + "a, b" << one << "";
        QTest::newRow("UTC as Z") << QByteArray("2026-12-08T06:15:03.120Z,a, b\n") << one << "";
        QTest::newRow("escapes") << at + "x\\\\n\\ny\\q\\"
                                 << QList<Marker>{{winter, "x\\n\ny\\q\\"}} << "";
        QTest::newRow("one unreadable line")
            << "no time,x\n" + at + "a, b\n"
            << one << "1 line of run.csv.markers could not be read";
        QTest::newRow("unreadable lines")
            << "2026-13-40T07:15:03.120+01:00,bad date\n" + at + "a, b\n" + at.chopped(1) + "\n" +
                   at + "\xFC latin-1\n"
            << one << "3 lines of run.csv.markers could not be read";
    }
    void readsMarkerFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QList<Marker>, markers);
        QFETCH(QString, problem);
        QFile file(m_dir.filePath(QStringLiteral("run.csv.markers")));
        file.remove();
        if (!bytes.isNull()) // no bytes: no file, which holds no markers
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        QString told = QStringLiteral("stale");
        QCOMPARE(readMarkers(file.fileName(), &told).value_or(QList<Marker>()), markers);
        QCOMPARE(told, problem);
    }

    void emptyListRemovesFile()
    {
        const QString file = m_dir.filePath(QStringLiteral("gone.csv.markers"));
        QVERIFY(writeMarkers(file, {{winter, QStringLiteral("x")}}) && QFile::exists(file));
        QVERIFY(writeMarkers(file, {}));
        QVERIFY(!QFile::exists(file));
        // A file that cannot be opened is a problem, unlike one that is not there.
        QString problem;
        QVERIFY(!readMarkers(m_dir.path(), &problem));
        QVERIFY(!problem.isEmpty());
    }

    void channelNamesKept_data()
    {
        QTest::addColumn<QStringList>("stored"); // by hand; "": nothing stored for the channel
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("labels");
        const QString a39(39, QLatin1Char('a'));
        QTest::newRow("nothing stored") << QStringList(6) << six() << six();
        QTest::newRow("named") << QStringList{"", "Ch1", "top shelf", "Ch4", "", "Tür 温度"}
                               << six({{1, "Ch1"}, {2, "top shelf"}, {5, "Tür 温度"}})
                               << six({{1, "Ch2 Ch1"}, {2, "Ch3 top shelf"}, {5, "Ch6 Tür 温度"}});
        QTest::newRow("cleaned") << QStringList{" door ", "a\tb\nc", " \t ", "", "", "x"}
                                 << six({{0, "door"}, {1, "abc"}, {5, "x"}})
                                 << six({{0, "Ch1 door"}, {1, "Ch2 abc"}, {5, "Ch6 x"}});
        QTest::newRow("cut to 40")
            << QStringList{a39 + "😀x", "", "", "", "", a39 + " xy"}
            << six({{0, a39 + "😀"}, {5, a39}}) << six({{0, "Ch1 " + a39 + "😀"}, {5, "Ch6 " + a39}});
    }
    void channelNamesKept()
    {
        QFETCH(QStringList, stored);
        QFETCH(QStringList, names);
        for (int c = 0; c < 6; ++c) {
            if (!stored[c].isEmpty())
                RegistryManagement::saveTextSetting(nameSetting(c), stored[c].toStdString());
        }
        QCOMPARE(channelNames(), names);
        QFETCH(QStringList, labels);
        for (int c = 0; c < 6; ++c)
            QCOMPARE(channelLabel(c, names), labels[c]);
        // Saved back as typed with spaces around: cleaned again, and a default name as "".
        QStringList typed;
        for (const QString &name : std::as_const(names))
            typed.append(" " + name + "\t");
        saveChannelNames(typed);
        for (int c = 0; c < 6; ++c) {
            const auto value =
                RegistryManagement::readKeyValue(RegistryManagement::SETTINGS_KEY, nameSetting(c));
            QVERIFY(value.isText());
            QCOMPARE(QString::fromStdString(value.text),
                     names[c] == QStringLiteral("Ch%1").arg(c + 1) ? QString() : names[c]);
        }
    }

    void reportPdfHoldsText_data()
    {
        QTest::addColumn<bool>("printed");
        QTest::newRow("saved") << false;
        QTest::newRow("printed to a PDF file") << true;
    }
    void reportPdfHoldsText()
    {
        QFETCH(bool, printed);
        const ReportContent content = sampleReport();
        const QString file = m_dir.filePath(QStringLiteral("report.pdf"));
        QFile::remove(file);
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(file);
        QVERIFY(printed ? printReport(printer, content) : writeReportPdf(file, content));
        const QByteArray pdf = contents(file);
        QVERIFY(pdf.startsWith("%PDF-") && pdf.contains("%%EOF"));

        const auto run = [](const QString &tool, const QStringList &arguments) {
            QProcess process;
            process.start(tool, arguments);
            return process.waitForFinished() ? QString::fromUtf8(process.readAllStandardOutput())
                                             : QString();
        };
        if (QStandardPaths::findExecutable(QStringLiteral("pdftotext")).isEmpty())
            QSKIP("pdftotext is not installed: the page's text is not checked");
        const QString words = run(QStringLiteral("pdftotext"), {file, QStringLiteral("-")});
        for (const QString &expected : {content.title, content.logName, content.channelLines[1],
                                        QStringLiteral("23.47"), QStringLiteral("door opened")})
            QVERIFY2(words.contains(expected), qPrintable(expected + " missing in:\n" + words));
        if (!printed && !QStandardPaths::findExecutable(QStringLiteral("pdfinfo")).isEmpty()) {
            const QString facts = run(QStringLiteral("pdfinfo"), {file});
            QVERIFY2(facts.contains(QLatin1String("Title:           Kiln run 12")) &&
                         facts.contains(QLatin1String("842 x 595")), // A4 lying
                     qPrintable(facts));
        }
    }

    void laysOutThePage_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("columns"); // of the table, its cells 14 characters
        QTest::addColumn<int>("markers");
        QTest::addColumn<bool>("textFits"); // false: cut even at the smallest size
        QTest::newRow("title only") << QSize(1123, 794) << 0 << 0 << true;
        QTest::newRow("landscape, markers beside") << QSize(1123, 794) << 3 << 30 << true;
        QTest::newRow("portrait, many markers") << QSize(794, 1123) << 6 << 80 << true;
        QTest::newRow("table too wide") << QSize(1123, 794) << 14 << 1 << true;
        QTest::newRow("table far too wide") << QSize(1123, 794) << 120 << 1 << false;
    }
    void laysOutThePage()
    {
        QFETCH(QSize, size);
        QFETCH(int, columns);
        QFETCH(int, markers);
        QFETCH(bool, textFits);
        ReportContent content = columns > 0 ? sampleReport() : ReportContent();
        content.title = QStringLiteral("Kiln");
        content.statsTable = QList<QStringList>(columns > 0 ? 7 : 0, QStringList(columns, "8.8"));
        if (columns > 0)
            content.statsTable[0].fill(QString(14, QLatin1Char('H')));
        content.markers.fill({QStringLiteral("07:15"), QStringLiteral("note")}, markers);
        QList<QRectF> given;
        content.drawPlot = [&](QPainter &, const QRectF &rect) { given.append(rect); };
        QImage image(size, QImage::Format_RGB32);
        const QRectF page = QRectF(image.rect()).adjusted(40, 40, -40, -40);
        QPainter painter(&image);
        paintReport(painter, page, content);
        QCOMPARE(given.size(), 1);
        QVERIFY(page.contains(given[0]));
        QVERIFY(given[0].width() > page.width() / 2 && given[0].height() > page.height() * 0.4);

        // The table and the markers under the plot and on the page; markers with no room counted.
        const ReportLayout layout = reportLayout(page, content, &image);
        QList<QRectF> below = layout.markerRows;
        if (columns > 0)
            below.append(layout.table);
        for (const QRectF &row : std::as_const(below))
            QVERIFY(row.top() >= given[0].bottom() && row.bottom() <= page.bottom());
        for (const QRectF &row : layout.markerRows)
            QVERIFY(!row.intersects(layout.table));
        QCOMPARE(layout.markerRows.size() - (layout.markersLeftOut > 0) + layout.markersLeftOut,
                 markers);
        QCOMPARE(layout.tableRows, columns > 0 ? 7 : 0);
        const qreal total =
            std::accumulate(layout.columnWidths.begin(), layout.columnWidths.end(), 0.0);
        QVERIFY2(total <= page.width(), qPrintable(QString::number(total)));
        // Columns sized to their text: never stretched, and wide enough for it where they can be.
        QFont header = layout.tableFont;
        header.setBold(true);
        const QFontMetricsF metrics(header, &image);
        const qreal text = metrics.horizontalAdvance(content.statsTable.value(0).value(0));
        for (const qreal width : layout.columnWidths)
            QVERIFY(width <= text + 2 * metrics.height() && (!textFits || width >= text));
    }

    void failsInMissingFolder_data()
    {
        QTest::addColumn<bool>("report");
        QTest::newRow("report") << true;
        QTest::newRow("markers") << false;
    }
    void failsInMissingFolder()
    {
        QFETCH(bool, report);
        const QString folder = m_dir.filePath(QStringLiteral("not there"));
        const QString file = folder + QStringLiteral("/out");
        QString problem;
        QVERIFY(!(report ? writeReportPdf(file, sampleReport(), &problem)
                         : writeMarkers(file, {{winter, QStringLiteral("x")}}, &problem)));
        QVERIFY(problem.contains(QLatin1String("out")));
        QVERIFY(!QFile::exists(file) && !QFile::exists(folder));
    }
};

QTEST_MAIN(HistoryExtrasTest)
#include "historyextras_test.moc"
