// The history window with a long log: opening and showing it, zoom and pan steps, live records
// and memory. Also writes the simulated logs it measures (--write-log), for pictures and tests
// by hand.

#include "bench/benchsupport.h"
#include "common/logrecord.h"
#include "device/cardreading.h"
#include "history/frmhistory.h"
#include "history/historykeeper.h"
#include "history/historystats.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QProgressBar>
#include <QTimer>
#include <QTemporaryDir>
#include <qcustomplot.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

using namespace tervalo;

namespace {

QDateTime logStart()
{
    return QDateTime(QDate(2026, 12, 3), QTime(6, 0));
}

// A furnace's day: six thermocouples warming and cooling with the firing cycle, a little noise,
// channel 6 open now and then, and a ten-minute pause in the sampling every day. The card's
// answer, decoded as the program decodes it: the log takes its record, the history the reading.
CardReading simulatedReading(const QDateTime &when, qint64 n, std::mt19937 &random)
{
    std::normal_distribution<double> noise(0, 0.6);
    const double day = 2 * M_PI * double(when.time().msecsSinceStartOfDay()) / 86'400'000.0;
    QString answer = QStringLiteral("T0");
    for (int c = 0; c < 6; ++c) {
        if (c == 5 && (n / 5000) % 7 == 3) {
            answer += QStringLiteral("1    ");
            continue;
        }
        const double base = 20 + 60 * c;
        const double value = base + (300 - 40 * c) * (0.5 - 0.5 * std::cos(day - 0.3 * c)) +
                             noise(random);
        // The card's four characters: a tenth below 100, whole degrees above.
        const bool small = value > -9.95 && value < 99.95;
        answer += QString::asprintf(small ? "0%4.1f" : "0%4.0f", value);
    }
    std::array<bool, channelCount> checked;
    checked.fill(true);
    return decodeAnswer(answer, checked, when, QStringLiteral("c"));
}

QByteArray simulatedRecord(const QDateTime &when, qint64 n, std::mt19937 &random)
{
    return (simulatedReading(when, n, random).record + QStringLiteral("\r\n")).toLocal8Bit();
}

qint64 writeLog(const QString &path, qint64 records, const QDateTime &start)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return -1;
    std::mt19937 random(7);
    QByteArray block;
    qint64 ms = 0;
    for (qint64 n = 0; n < records; ++n) {
        if (n > 0 && n % 259'200 == 100'000)
            ms += 600'000; // the daily pause
        block += simulatedRecord(start.addMSecs(ms), n, random);
        ms += 333;
        if (block.size() > (4 << 20)) {
            file.write(block);
            block.clear();
        }
    }
    file.write(block);
    return file.size();
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

void result(const char *key, double value)
{
    std::printf("result %s %.3f\n", key, value);
    std::fflush(stdout);
}

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toDouble() : -1;
}

// Opening a log of records and showing it, then zoom and pan steps.
// Step i of the zoom and pan sequence the wheel and a drag make: ten zooms in by 0.7, ten pans
// by a tenth, ten zooms out, over and over.
void zoomPanStep(QCPAxis *x, int i)
{
    const int phase = i % 30;
    if (phase < 10)
        x->scaleRange(0.7, x->range().center());
    else if (phase < 20)
        x->moveRange(x->range().size() * 0.1);
    else
        x->scaleRange(1 / 0.7, x->range().center());
}

void measureFile(const QString &log, qint64 records, int steps, const QString &picture,
                 bool written)
{
    const QDateTime start = logStart();
    QElapsedTimer clock;
    const qint64 bytes = written ? QFileInfo(log).size() : writeLog(log, records, start);
    std::printf("log of %lld records, %.1f MB; load %.2f\n", records, double(bytes) / 1e6,
                loadAverage());
    const double rssBefore = bench::currentRssMb();

    // Open and show: from the click on Open to the first picture drawn.
    // Deletes itself when closed, as the program's window does.
    auto &window = *new frmHistory;
    window.showMessage = [](const QString &text) { std::printf("message: %s\n", qPrintable(text)); };
    window.resize(1200, 700);
    window.show();
    QCoreApplication::processEvents();
    // A timer on the window's thread, as a user's clicks would be: the longest wait between
    // two of its ticks is how long the window left a click unanswered.
    QElapsedTimer ticks;
    qint64 lastTick = 0;
    qint64 longestWait = 0;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        longestWait = std::max(longestWait, ticks.elapsed() - lastTick);
        lastTick = ticks.elapsed();
    });
    int progressShown = 0;
    QObject::connect(window.prgLoad, &QProgressBar::valueChanged, [&] { ++progressShown; });
    clock.start();
    ticks.start();
    timer.start();
    window.openFile(log);
    if (window.loading()) {
        QEventLoop wait;
        QObject::connect(&window, &frmHistory::loaded, &wait, &QEventLoop::quit);
        wait.exec();
    }
    window.plot->replot();
    window.repaint();
    result("open_and_show_ms", double(clock.nsecsElapsed()) / 1e6);
    longestWait = std::max(longestWait, ticks.elapsed() - lastTick);
    timer.stop();
    result("window_longest_wait_ms", double(longestWait));
    result("progress_updates", progressShown);
    result("rss_mb", bench::currentRssMb());
    result("rss_added_mb", bench::currentRssMb() - rssBefore);

    // Zoom and pan steps as the wheel and a drag make them: the range changes, the lines are
    // worked out for it and the plot is drawn.
    std::vector<double> stepMs;
    std::vector<double> linesMs;
    QCPAxis *x = window.plot->xAxis;
    for (int i = 0; i < steps; ++i) {
        clock.restart();
        zoomPanStep(x, i);
        linesMs.push_back(double(clock.nsecsElapsed()) / 1e6);
        window.plot->replot();
        stepMs.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    result("zoom_pan_step_p50_ms", percentile(stepMs, 0.5));
    result("zoom_pan_step_p99_ms", percentile(stepMs, 0.99));
    result("zoom_pan_lines_p99_ms", percentile(linesMs, 0.99)); // working out the lines only

    // Statistics of the whole log with a threshold, alone and as the window shows them.
    const auto [first, last] = window.data().span();
    std::vector<double> statsMs;
    for (int i = 0; i < 5; ++i) {
        clock.restart();
        const RangeStats stats = rangeStats(window.data(), first, last, 250.0);
        statsMs.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (stats.channels[0].count == 0)
            std::printf("no readings in the statistics\n");
    }
    result("stats_whole_range_ms", percentile(statsMs, 0.5));
    clock.restart();
    window.selectRange(std::pair(first, last));
    window.plot->replot();
    result("stats_in_window_ms", double(clock.nsecsElapsed()) / 1e6);
    if (!picture.isEmpty()) {
        // As a user sees it after a Fit, a threshold typed and a range selected.
        window.cmdFit->click();
        window.txtThreshold->setText(QStringLiteral("250"));
        window.selectRange(std::pair(first + (last - first) * 0.3, first + (last - first) * 0.6));
        window.setCursor(0, first + (last - first) * 0.35);
        window.setCursor(1, first + (last - first) * 0.45);
        QCoreApplication::processEvents();
        window.grab().save(picture);
    }
    window.close();
}

// Live records with the window showing everything: the readings in memory, as when nothing is
// logged. The keeper holds the records first.
void measureMemory(qint64 records, int appends)
{
    const QDateTime start = logStart();
    QElapsedTimer clock;
    const double rssBeforeMemory = bench::currentRssMb();
    HistoryKeeper keeper;
    std::mt19937 random(11);
    QDateTime when = start;
    for (qint64 n = 0; n < records; ++n) {
        keeper.readingTaken(simulatedReading(when, n, random));
        when = when.addMSecs(333);
    }
    const auto appendTimes = [&](bool open) {
        std::vector<double> ms;
        for (int i = 0; i < appends; ++i) {
            const CardReading reading = simulatedReading(when, i, random);
            when = when.addMSecs(333);
            clock.restart();
            keeper.readingTaken(reading);
            if (open)
                QCoreApplication::sendPostedEvents(); // the queued redraw
            ms.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
        return ms;
    };
    const std::vector<double> closed = appendTimes(false);
    result("rss_memory_kept_mb", bench::currentRssMb());
    result("rss_memory_kept_added_mb", bench::currentRssMb() - rssBeforeMemory);
    clock.restart();
    keeper.mnuHistory_Click();
    keeper.window()->resize(1200, 700);
    QCoreApplication::processEvents();
    result("open_memory_and_show_ms", double(clock.nsecsElapsed()) / 1e6);
    result("rss_memory_shown_mb", bench::currentRssMb());
    result("rss_memory_shown_added_mb", bench::currentRssMb() - rssBeforeMemory);
    const std::vector<double> shown = appendTimes(true);
    result("append_closed_p99_ms", percentile(closed, 0.99));
    result("append_shown_p50_ms", percentile(shown, 0.5));
    result("append_shown_p99_ms", percentile(shown, 0.99));
    result("append_added_p99_ms", percentile(shown, 0.99) - percentile(closed, 0.99));
}

// For comparison: QCustomPlot alone, given every record and left to its own adaptive sampling,
// with the same zoom and pan steps.
void measurePlotAlone(const QString &log, qint64 records, int steps)
{
    writeLog(log, records, logStart());
    const double rssBefore = bench::currentRssMb();
    QElapsedTimer clock;
    clock.start();
    QCustomPlot plot;
    plot.resize(1200, 700);
    plot.setNotAntialiasedElements(QCP::aePlottables);
    plot.setPlottingHint(QCP::phFastPolylines, true);
    plot.xAxis->setTicker(QSharedPointer<QCPAxisTickerDateTime>::create());
    std::array<QVector<QCPGraphData>, historyChannels> points;
    LogReader reader;
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return;
    reader.read(file.readAll(), [&](const LogRecord &r, QByteArrayView) {
        for (int c = 0; c < historyChannels; ++c)
            points[size_t(c)].append({r.time, double(r.values[size_t(c)])});
    });
    for (int c = 0; c < historyChannels; ++c) {
        plot.addGraph()->data()->set(points[size_t(c)], true);
        points[size_t(c)] = {};
    }
    plot.rescaleAxes();
    plot.show();
    plot.replot();
    result("plot_alone_open_and_show_ms", double(clock.nsecsElapsed()) / 1e6);
    result("plot_alone_rss_added_mb", bench::currentRssMb() - rssBefore);
    std::vector<double> stepMs;
    QCPAxis *x = plot.xAxis;
    for (int i = 0; i < steps; ++i) {
        clock.restart();
        zoomPanStep(x, i);
        plot.replot();
        stepMs.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    result("plot_alone_zoom_pan_step_p50_ms", percentile(stepMs, 0.5));
    result("plot_alone_zoom_pan_step_p99_ms", percentile(stepMs, 0.99));
}

} // namespace

int main(int argc, char *argv[])
{
    bench::PrivateFolders folders;
    QApplication app(argc, argv);
    QCommandLineParser options;
    options.addHelpOption();
    options.addOption({QStringLiteral("records"), QStringLiteral("Records in the log."),
                       QStringLiteral("n"), QStringLiteral("1000000")});
    options.addOption({QStringLiteral("steps"), QStringLiteral("Zoom and pan steps."),
                       QStringLiteral("n"), QStringLiteral("300")});
    options.addOption({QStringLiteral("appends"), QStringLiteral("Live records."),
                       QStringLiteral("n"), QStringLiteral("500")});
    options.addOption({QStringLiteral("write-log"),
                       QStringLiteral("Only write a simulated log of --records to file."),
                       QStringLiteral("file")});
    options.addOption({QStringLiteral("log"),
                       QStringLiteral("Open this log (written before with --write-log) instead of "
                                      "writing one."),
                       QStringLiteral("file")});
    options.addOption({QStringLiteral("part"),
                       QStringLiteral("file (open a log, zoom and pan), memory (readings kept in "
                                      "memory, live records) or both, each measured from a fresh "
                                      "start when run alone; plot-alone: QCustomPlot given every "
                                      "record, for comparison."),
                       QStringLiteral("part"), QStringLiteral("both")});
    options.addOption({QStringLiteral("picture"),
                       QStringLiteral("Also save the window as it is shown to file."),
                       QStringLiteral("file")});
    options.process(app);
    const qint64 records = options.value(QStringLiteral("records")).toLongLong();
    const QDateTime start = logStart();

    if (options.isSet(QStringLiteral("write-log"))) {
        return writeLog(options.value(QStringLiteral("write-log")), records, start) < 0 ? 1 : 0;
    }

    const QString part = options.value(QStringLiteral("part"));
    QTemporaryDir dir;
    if (part == QLatin1String("plot-alone")) {
        measurePlotAlone(dir.filePath(QStringLiteral("furnace.csv")), records,
                         options.value(QStringLiteral("steps")).toInt());
        return 0;
    }
    if (part != QLatin1String("memory")) {
        const bool written = options.isSet(QStringLiteral("log"));
        measureFile(written ? options.value(QStringLiteral("log")) : dir.filePath(QStringLiteral("furnace.csv")),
                    records, options.value(QStringLiteral("steps")).toInt(),
                    options.value(QStringLiteral("picture")), written);
    }
    const int appends = options.value(QStringLiteral("appends")).toInt();
    if (part != QLatin1String("file") && appends > 0)
        measureMemory(records, appends);
    result("peak_rss_mb", bench::peakRssMb());
    result("load_end", loadAverage());
    return 0;
}
