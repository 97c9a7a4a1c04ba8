#include "history/frmhistory.h"

#include "common/seriescolours.h"
#include "history/logsource.h"
#include "output/filedialog.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <cmath>

namespace tervalo {

namespace {

// Records that may pile onto the lines between two full workings-out while readings come in.
constexpr qsizetype appendedBeforeRefresh = 20000;
// The readings in memory may run this far past their limit before the oldest go in one step.
constexpr qsizetype dropStep = 10000;

QString count(qint64 n)
{
    return QLocale().toString(n);
}

} // namespace

QString historyUnitName(char unit)
{
    return unit == 'c' ? QStringLiteral("Celsius")
           : unit == 'f' ? QStringLiteral("Fahrenheit")
                         : QStringLiteral("Raw");
}

frmHistory::frmHistory()
{
    setObjectName(QStringLiteral("frmHistory"));
    setWindowTitle(QStringLiteral("History"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(1000, 600);

    const auto button = [this](const char *name, const QString &text) {
        auto *b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        return b;
    };
    cmdOpen = button("cmdOpen", QStringLiteral("&Open Log..."));
    cmdFollow = button("cmdFollow", QStringLiteral("&Live"));
    cmdFollow->setToolTip(QStringLiteral("Show the current log, or the readings since the "
                                         "program started when nothing is logged"));
    cmdFit = button("cmdFit", QStringLiteral("&Fit"));
    cmdExport = button("cmdExport", QStringLiteral("&Export..."));
    lblCursor = new QLabel(this);
    lblCursor->setObjectName(QStringLiteral("lblCursor"));
    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setWordWrap(true);

    plot = new QCustomPlot(this);
    plot->setObjectName(QStringLiteral("plot"));
    for (int c = 0; c < historyChannels; ++c) {
        QCPGraph *graph = plot->addGraph();
        graph->setName(QStringLiteral("Ch%1").arg(c + 1));
        graph->setPen(QPen(seriesColours[size_t(c)], 1));
    }
    // Thousands of points a line: smoothing their edges costs more than the rest of a redraw,
    // and at one reading a pixel it shows no difference.
    plot->setNotAntialiasedElements(QCP::aePlottables);
    plot->setPlottingHint(QCP::phFastPolylines, true);
    // The lines on a layer of their own, on top: a reading added within the view redraws only
    // them, and the widget lays two pictures over each other, not three.
    plot->addLayer(QStringLiteral("lines"), plot->layer(QStringLiteral("overlay")), QCustomPlot::limAbove);
    plot->layer(QStringLiteral("lines"))->setMode(QCPLayer::lmBuffered);
    for (int c = 0; c < historyChannels; ++c)
        plot->graph(c)->setLayer(QStringLiteral("lines"));
    // Every buffered layer is one more picture of the whole plot to lay over the others at each
    // redraw; the rubber band's layer shares the one below it.
    plot->layer(QStringLiteral("overlay"))->setMode(QCPLayer::lmLogical);
    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    plot->xAxis->setTicker(ticker);
    // The legend beside the plot, not in it: the lines are drawn last, over everything in the
    // plot's frame.
    plot->legend->setVisible(true);
    plot->axisRect()->insetLayout()->take(plot->legend);
    auto *side = new QCPLayoutGrid;
    plot->plotLayout()->addElement(0, 1, side);
    plot->plotLayout()->setColumnStretchFactor(1, 0.001);
    side->addElement(0, 0, plot->legend);
    side->addElement(1, 0, new QCPLayoutElement(plot)); // takes the height below the legend
    side->setRowStretchFactor(0, 0.001);
    side->setMargins(QMargins(4, 14, 10, 0));
    plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    // The wheel and dragging move in time; the value axis follows the data it shows.
    plot->axisRect()->setRangeDrag(Qt::Horizontal);
    plot->axisRect()->setRangeZoom(Qt::Horizontal);
    plot->setMouseTracking(true);
    plot->installEventFilter(this);
    m_cursorLine = new QCPItemStraightLine(plot);
    m_cursorLine->setPen(QPen(Qt::gray, 1, Qt::DashLine));
    m_cursorLine->setVisible(false);

    connect(plot->xAxis, qOverload<const QCPRange &>(&QCPAxis::rangeChanged), this,
            [this] { refreshLines(); });
    connect(plot->yAxis, qOverload<const QCPRange &>(&QCPAxis::rangeChanged), this, [this] {
        if (!m_adjusting)
            m_valueZoomed = true;
    });
    connect(plot, &QCustomPlot::legendClick, this,
            [this](QCPLegend *, QCPAbstractLegendItem *item, QMouseEvent *) {
                if (auto *entry = qobject_cast<QCPPlottableLegendItem *>(item)) {
                    for (int c = 0; c < historyChannels; ++c) {
                        if (plot->graph(c) == entry->plottable())
                            toggleSeries(c);
                    }
                }
            });

    connect(cmdOpen, &QPushButton::clicked, this, &frmHistory::cmdOpen_Click);
    connect(cmdFollow, &QPushButton::clicked, this, &frmHistory::cmdFollow_Click);
    connect(cmdFit, &QPushButton::clicked, this, &frmHistory::cmdFit_Click);
    connect(cmdExport, &QPushButton::clicked, this, &frmHistory::cmdExport_Click);
    m_poll.setInterval(1000);
    connect(&m_poll, &QTimer::timeout, this, &frmHistory::pollFile);

    auto *buttons = new QHBoxLayout;
    for (QPushButton *b : {cmdOpen, cmdFollow, cmdFit, cmdExport})
        buttons->addWidget(b);
    buttons->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(plot, 1);
    layout->addWidget(lblCursor);
    layout->addWidget(lblStatus);

    showMessage = [this](const QString &text) {
        QMessageBox::warning(this, windowTitle(), text);
    };
    chooseLog = [this] {
        return QFileDialog::getOpenFileName(
            this, QStringLiteral("Open Log"), QString(),
            QStringLiteral("Comma-separated-value (*.csv);;All files (*)"));
    };
    m_exportDialog = std::make_unique<QtSaveFileDialog>(QtSaveFileDialog::ExistingFile::Replace);
    startOver();
    updateStatus();
}

frmHistory::~frmHistory() = default;

void frmHistory::setExportDialog(std::unique_ptr<SaveFileDialog> dialog)
{
    m_exportDialog = std::move(dialog);
}

QString frmHistory::fileName() const
{
    return m_tail ? m_tail->fileName() : QString();
}

void frmHistory::startOver()
{
    m_data.clear();
    m_reader = std::make_unique<LogReader>();
    m_problem.clear();
    m_valueZoomed = false;
    m_cursorLine->setVisible(false);
    lblCursor->clear();
}

void frmHistory::take(const LogRecord &record)
{
    m_data.append(record);
}

void frmHistory::setMemory(const RecordBuffer *buffer)
{
    m_memory = buffer;
    m_memoryLimit = buffer ? buffer->limit() : 0;
}

void frmHistory::followMemory(const RecordBuffer *buffer)
{
    m_following = true;
    setMemory(buffer);
    m_tail.reset();
    m_poll.stop();
    startOver();
    if (buffer) {
        const auto sink = [this](const LogRecord &record, QByteArrayView) { take(record); };
        buffer->forEachBlock([&](const QByteArray &block) { m_reader->read(block, sink); });
    }
    afterLoad();
}

void frmHistory::followFile(const QString &fileName)
{
    m_following = true;
    m_tail = std::make_unique<LogTail>(fileName);
    startOver();
    readFile(true);
    m_poll.start();
    afterLoad();
}

void frmHistory::openFile(const QString &fileName)
{
    followFile(fileName);
    m_following = false;
    updateStatus();
    if (!m_problem.isEmpty()) {
        showMessage(m_problem);
    } else if (m_data.isEmpty()) {
        const QString name = QFileInfo(fileName).fileName();
        showMessage(m_reader->records() > 0
                        ? QStringLiteral("No record of %1 has a date and time that can be read.").arg(name)
                    : m_reader->unreadableLines() > 0
                        ? QStringLiteral("%1 is not a Tervalo log: none of its lines is a reading.").arg(name)
                        : QStringLiteral("%1 holds no readings yet.").arg(name));
    }
}

bool frmHistory::readFile(bool first)
{
    const QString name = QFileInfo(m_tail->fileName()).fileName();
    const auto sink = [this, first](const LogRecord &record, QByteArrayView) {
        if (first)
            take(record);
        else
            appendLive(record);
    };
    QByteArray bytes;
    for (;;) {
        switch (m_tail->read(bytes)) {
        case LogTail::State::Missing:
            m_problem = QStringLiteral("The file %1 is not there (any more).").arg(name);
            return false;
        case LogTail::State::Unreadable:
            m_problem = QStringLiteral("The file %1 cannot be read.").arg(name);
            return false;
        case LogTail::State::Shrunk:
            // Cut short or written anew: what was shown may no longer be in it.
            startOver();
            m_problem = QStringLiteral("%1 became shorter and was read again.").arg(name);
            m_tail->read(bytes);
            m_reader->read(bytes, [this](const LogRecord &r, QByteArrayView) { take(r); });
            while (m_tail->read(bytes) == LogTail::State::Read && !bytes.isEmpty())
                m_reader->read(bytes, [this](const LogRecord &r, QByteArrayView) { take(r); });
            afterLoad();
            return true;
        case LogTail::State::Read:
            if (bytes.isEmpty())
                return true;
            if (!first)
                m_problem.clear();
            m_reader->read(bytes, sink);
            break;
        }
    }
}

void frmHistory::pollFile()
{
    if (!m_tail)
        return;
    const QString before = m_problem;
    readFile(false);
    if (m_problem != before)
        updateStatus();
    redraw();
}

void frmHistory::redraw()
{
    if (m_linesOnly)
        plot->layer(QStringLiteral("lines"))->replot();
    else
        plot->replot(QCustomPlot::rpQueuedReplot);
    m_linesOnly = true;
}

void frmHistory::recordTaken(QByteArrayView line, const QString &logFile)
{
    if (!m_following) {
        return;
    }
    if (!logFile.isEmpty()) {
        if (logFile != fileName())
            followFile(logFile);
        else
            pollFile();
        return;
    }
    if (!m_memory)
        return;
    if (m_tail) {
        followMemory(m_memory);
        return;
    }
    m_reader->read(line, [this](const LogRecord &r, QByteArrayView) { appendLive(r); });
    redraw();
}

void frmHistory::afterLoad()
{
    m_data.sortByTime();
    m_data.updateInterval();
    plot->yAxis->setLabel(QStringLiteral("Temperature ") + historyUnitName(m_data.shownUnit()));
    cmdFit_Click();
    updateStatus();
}

void frmHistory::appendLive(const LogRecord &record)
{
    const bool wasEmpty = m_data.isEmpty();
    const char unitBefore = m_data.shownUnit();
    const double lastBefore = wasEmpty ? 0 : m_data.time(m_data.size() - 1);
    const QCPRange range = plot->xAxis->range();
    const bool showsAll = !wasEmpty && range.lower <= m_data.span().first &&
                          range.upper >= lastBefore;
    m_data.add(record);
    bool redo = wasEmpty || record.unit != unitBefore || record.time < lastBefore ||
                m_appended > appendedBeforeRefresh;
    if (!m_tail && m_memory && m_data.size() > m_memoryLimit + dropStep) {
        m_data.dropOldest(m_memoryLimit);
        redo = true;
    }
    if (m_data.size() < 1000)
        m_data.updateInterval();
    if (redo) {
        m_linesOnly = false;
        plot->yAxis->setLabel(QStringLiteral("Temperature ") + historyUnitName(m_data.shownUnit()));
        if (showsAll || wasEmpty)
            cmdFit_Click();
        else
            refreshLines();
        updateStatus();
        return;
    }
    if (record.time > range.upper && !showsAll) {
        updateStatus();
        return; // beyond the view: drawn when the view gets there
    }
    if (m_appended == 0)
        m_linesOnly = false; // the lines were just worked out: all of the plot changed
    // The new reading joins the end of the lines as it is; working out the whole line again for
    // every reading would cost more than the reading.
    const double gap = m_data.gapLimit();
    const bool broken = gap > 0 && record.time - lastBefore > gap;
    double low = plot->yAxis->range().lower;
    double high = plot->yAxis->range().upper;
    for (int c = 0; c < historyChannels; ++c) {
        QCPGraph *graph = plot->graph(c);
        const float v = record.values[size_t(c)];
        if (broken)
            graph->addData(lastBefore + (record.time - lastBefore) / 2, qQNaN());
        graph->addData(record.time, double(v));
        if (graph->visible() && !std::isnan(v)) {
            low = std::min(low, double(v));
            high = std::max(high, double(v));
        }
    }
    ++m_appended;
    if (showsAll && record.time > range.upper) {
        // Some room ahead, so that the next readings fall inside the view and only the lines
        // need drawing again.
        const bool before = m_extending;
        m_extending = true;
        plot->xAxis->setRangeUpper(record.time + std::max(range.size() * 0.02, 60.0));
        m_extending = before;
        m_linesOnly = false;
    }
    if (!m_valueZoomed && (low < plot->yAxis->range().lower || high > plot->yAxis->range().upper)) {
        m_adjusting = true;
        plot->yAxis->setRange(low, high);
        m_adjusting = false;
        m_linesOnly = false;
    }
    updateStatus();
}

void frmHistory::refreshLines()
{
    if (m_extending)
        return;
    const QCPRange range = plot->xAxis->range();
    const int columns = std::max(1, plot->axisRect()->width());
    const auto lines = decimateAll(m_data, range.lower, range.upper, columns);
    for (int c = 0; c < historyChannels; ++c)
        plot->graph(c)->setData(lines[size_t(c)].keys, lines[size_t(c)].values, true);
    m_appended = 0;
    auto ticker = plot->xAxis->ticker().dynamicCast<QCPAxisTickerDateTime>();
    if (ticker) {
        const double span = range.size();
        ticker->setDateTimeFormat(span < 600              ? QStringLiteral("HH:mm:ss")
                                  : span < 2 * 24 * 3600 ? QStringLiteral("HH:mm\nd MMM")
                                                          : QStringLiteral("d MMM\nyyyy"));
    }
    if (!m_valueZoomed)
        fitValues();
}

void frmHistory::fitValues()
{
    const QCPRange range = plot->xAxis->range();
    double low = qInf();
    double high = -qInf();
    for (int c = 0; c < historyChannels; ++c) {
        QCPGraph *graph = plot->graph(c);
        if (!graph->visible())
            continue;
        for (auto it = graph->data()->findBegin(range.lower, false);
             it != graph->data()->constEnd() && it->key <= range.upper; ++it) {
            if (!std::isnan(it->value)) {
                low = std::min(low, it->value);
                high = std::max(high, it->value);
            }
        }
    }
    if (low > high) {
        low = 0;
        high = 10;
    }
    const double room = std::max((high - low) * 0.05, 1.0);
    m_adjusting = true;
    plot->yAxis->setRange(low - room, high + room);
    m_adjusting = false;
}

void frmHistory::cmdFit_Click()
{
    m_valueZoomed = false;
    auto [first, last] = m_data.span();
    if (m_data.isEmpty())
        first = last = double(QDateTime::currentSecsSinceEpoch()); // where readings will come
    if (last - first < 60) {
        // One record or a few seconds: a minute around them, so the axis can be read.
        first -= 30;
        last = first + 60;
    }
    m_extending = true;
    plot->xAxis->setRange(first, last);
    m_extending = false;
    refreshLines();
    plot->replot();
}

void frmHistory::toggleSeries(int channel)
{
    QCPGraph *graph = plot->graph(channel);
    graph->setVisible(!graph->visible());
    if (QCPAbstractLegendItem *entry = plot->legend->itemWithPlottable(graph))
        entry->setTextColor(graph->visible() ? Qt::black : Qt::gray);
    if (!m_valueZoomed)
        fitValues();
    plot->replot();
}

void frmHistory::showCursor(double x)
{
    const qsizetype i = m_data.nearest(x);
    if (i < 0) {
        m_cursorLine->setVisible(false);
        lblCursor->clear();
        return;
    }
    const double t = m_data.time(i);
    m_cursorLine->point1->setCoords(t, 0);
    m_cursorLine->point2->setCoords(t, 1);
    m_cursorLine->setVisible(true);
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(qint64(t * 1000));
    QString text = QLocale().toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                   when.toString(QStringLiteral("HH:mm:ss"));
    for (int c = 0; c < historyChannels; ++c) {
        const float v = m_data.value(i, c);
        // As the card wrote it: "23.4", "734".
        text += QStringLiteral("    Ch%1 %2").arg(c + 1).arg(
            std::isnan(v) ? QStringLiteral("–") : QString::number(double(v), 'g', 6));
    }
    lblCursor->setText(text);
    plot->replot(QCustomPlot::rpQueuedReplot);
}

void frmHistory::updateStatus()
{
    QStringList parts;
    if (m_tail)
        parts << QStringLiteral("Log %1%2").arg(QFileInfo(m_tail->fileName()).fileName(),
                                                 m_following ? QStringLiteral(" (live)") : QString());
    else
        parts << QStringLiteral("Readings since the program started");
    const qsizetype shown = m_data.size() - m_data.leftOut();
    parts << (m_data.isEmpty() ? QStringLiteral("no records yet")
                               : QStringLiteral("%1 records in %2")
                                     .arg(count(shown), historyUnitName(m_data.shownUnit())));
    if (m_data.leftOut() > 0)
        parts << QStringLiteral("%1 records in other units left out").arg(count(m_data.leftOut()));
    if (m_reader->unplacedTimes() > 0)
        parts << QStringLiteral("%1 records without a readable date or time, placed after the "
                                "one before").arg(count(m_reader->unplacedTimes()));
    if (m_reader->unreadableLines() > 0)
        parts << QStringLiteral("%1 lines that are not records").arg(count(m_reader->unreadableLines()));
    if (!m_problem.isEmpty())
        parts << m_problem;
    lblStatus->setText(parts.join(QStringLiteral(" · ")));
}

void frmHistory::cmdOpen_Click()
{
    const QString name = chooseLog ? chooseLog() : QString();
    if (!name.isEmpty())
        openFile(name);
}

void frmHistory::cmdFollow_Click()
{
    // The keeper of the readings says what to follow: it hears of the next reading first.
    emit followRequested();
}

void frmHistory::cmdExport_Click()
{
    QString name = QStringLiteral("history.png");
    const QString filter = QStringLiteral("PNG picture(*.png)|*.png|PDF document(*.pdf)|*.pdf|"
                                          "Comma-separated-value(*.csv)|*.csv");
    if (!m_exportDialog || m_exportDialog->ShowSave(this, filter, name) != 0)
        return;
    const QString suffix = QFileInfo(name).suffix().toLower();
    bool saved = false;
    if (suffix == QLatin1String("pdf"))
        saved = plot->savePdf(name);
    else if (suffix == QLatin1String("csv"))
        saved = exportCsv(name);
    else if (suffix == QLatin1String("png"))
        saved = plot->savePng(name);
    else {
        showMessage(QStringLiteral("Choose a name ending in .png, .pdf or .csv."));
        return;
    }
    if (!saved)
        showMessage(QStringLiteral("%1 could not be written.").arg(name));
}

bool frmHistory::exportCsv(const QString &fileName)
{
    QSaveFile out(fileName);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    const QCPRange range = plot->xAxis->range();
    const char unit = m_data.shownUnit();
    // The source is read again with a reader of its own, which places every record as the view
    // did, and the lines in the range are copied as they are.
    LogReader reader;
    const auto sink = [&](const LogRecord &record, QByteArrayView line) {
        if (record.unit == unit && record.time >= range.lower && record.time <= range.upper) {
            out.write(line.data(), line.size());
            out.write("\r\n", 2);
        }
    };
    if (m_tail) {
        QFile in(m_tail->fileName());
        if (!in.open(QIODevice::ReadOnly))
            return false;
        QByteArray pending;
        while (!in.atEnd()) {
            pending += in.read(8 << 20);
            pending.remove(0, reader.read(pending, sink));
        }
    } else if (m_memory) {
        m_memory->forEachBlock([&](const QByteArray &block) { reader.read(block, sink); });
    }
    return out.commit();
}

void frmHistory::closeEvent(QCloseEvent *event)
{
    emit closed();
    event->accept();
}

bool frmHistory::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == plot) {
        if (event->type() == QEvent::MouseButtonPress) {
            // Ctrl and drag draws the rubber band; a plain drag moves the view.
            const auto *mouse = static_cast<QMouseEvent *>(event);
            plot->setSelectionRectMode((mouse->modifiers() & Qt::ControlModifier) ? QCP::srmZoom
                                                                                   : QCP::srmNone);
        } else if (event->type() == QEvent::MouseMove) {
            showCursor(plot->xAxis->pixelToCoord(static_cast<QMouseEvent *>(event)->position().x()));
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace tervalo
