#include "history/frmhistory.h"

#include "history/historystyle.h"

#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <qcustomplot.h>

#include <cmath>

// The history window's plot: its set-up, working out and drawing the lines, the value axis that
// follows them, the cursor and the legend.

namespace tervalo {

namespace {

// Records that may pile onto the lines between two full workings-out while readings come in.
constexpr qsizetype appendedBeforeRefresh = 20000;
// The readings in memory may run this far past their limit before the oldest go in one step.
constexpr qsizetype dropStep = 10000;

} // namespace

void frmHistory::createPlot()
{
    plot = new QCustomPlot(this);
    plot->setObjectName(QStringLiteral("plot"));
    for (int c = 0; c < historyChannels; ++c) {
        QCPGraph *graph = plot->addGraph();
        graph->setName(QStringLiteral("Ch%1").arg(c + 1));
        QPen pen(historyColours[size_t(c)], historyLineWidth);
        pen.setCosmetic(false);
        graph->setPen(pen);
        graph->setScatterStyle(QCPScatterStyle(historyMarks[size_t(c)], historyColours[size_t(c)], 7));
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
    plot->setFocusPolicy(Qt::StrongFocus);
    plot->installEventFilter(this);
    m_cursorLine = new QCPItemStraightLine(plot);
    m_cursorLine->setPen(QPen(Qt::gray, 1, Qt::DashLine));
    m_cursorLine->setVisible(false);

    connect(plot->xAxis, qOverload<const QCPRange &>(&QCPAxis::rangeChanged), this,
            [this] { refreshLines(); });
    // The lines have one point a column at most: worked out before the window had its size
    // (opened while a large log is followed) they would be drawn with a few dozen columns.
    // Fewer columns than pixels could miss a peak between them; a few more than pixels (the
    // value axis's labels took some of the width) only cost a little drawing, so a month-long
    // log is not gone through again on the window's thread for that.
    connect(plot, &QCustomPlot::afterLayout, this, [this] {
        const int width = plot->axisRect()->width();
        if (width > m_linesColumns || 2 * width < m_linesColumns)
            refreshLines();
    });
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
}

void frmHistory::redraw()
{
    if (m_linesOnly)
        plot->layer(QStringLiteral("lines"))->replot();
    else
        plot->replot(QCustomPlot::rpQueuedReplot);
    m_linesOnly = true;
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
    bool redo = wasEmpty || m_data.shownUnit() != unitBefore || record.time < lastBefore ||
                m_appended > appendedBeforeRefresh;
    if (!m_tail && m_memory && m_data.size() > m_memoryLimit + dropStep) {
        m_data.dropOldest(m_memoryLimit);
        redo = true;
    }
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
    const qsizetype last = m_data.size() - 1;
    if (!m_data.shows(last)) {
        updateStatus();
        return; // raw counts among temperatures, or the other way round: drawn when chosen
    }
    const bool broken = m_data.gapBefore(last) || !m_data.shows(last - 1);
    double low = plot->yAxis->range().lower;
    double high = plot->yAxis->range().upper;
    for (int c = 0; c < historyChannels; ++c) {
        QCPGraph *graph = plot->graph(c);
        const float v = m_data.value(last, c);
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
    m_linesColumns = plot->axisRect()->width();
    // QCustomPlot draws a line of exactly 1 as one device pixel, which is fast but hairline-thin
    // on a screen of twice the density; a hair more than 1 is scaled with the screen.
    const double width = plot->devicePixelRatioF() > 1.0 ? historyLineWidth * 1.01 : historyLineWidth;
    for (int c = 0; c < plot->graphCount(); ++c) {
        QPen pen = plot->graph(c)->pen();
        if (pen.widthF() != width) {
            pen.setWidthF(width);
            plot->graph(c)->setPen(pen);
        }
    }
    const int columns = std::max(1, m_linesColumns);
    const auto [first, last] = m_data.span();
    const bool prepared = m_preparedColumns == columns && range.lower == first && range.upper == last;
    const auto lines = prepared ? std::move(m_preparedLines)
                                : decimateAll(m_data, range.lower, range.upper, columns);
    m_preparedColumns = 0;
    for (int c = 0; c < historyChannels; ++c) {
        QCPGraph *graph = plot->graph(c);
        graph->setData(lines[size_t(c)].keys, lines[size_t(c)].values, true);
        // A mark about every 120 pixels along the line, each channel's a little apart from the
        // others', so the marks do not pile up where the lines meet.
        const qsizetype marks = std::max(1, columns / 120);
        graph->setScatterSkip(int(std::max<qsizetype>(0, lines[size_t(c)].keys.size() / marks - 1)));
    }
    if (!m_compare.isEmpty() || plot->graphCount() > historyChannels)
        refreshComparison(range.lower, range.upper, columns);
    m_appended = 0;
    auto ticker = plot->xAxis->ticker().dynamicCast<QCPAxisTickerDateTime>();
    if (ticker) {
        const double span = range.size();
        ticker->setDateTimeFormat(span < 600              ? QStringLiteral("HH:mm:ss\nd MMM")
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
    for (int c = 0; c < plot->graphCount(); ++c) {
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
    if (plot->graphCount() > historyChannels + channel)
        plot->graph(historyChannels + channel)->setVisible(graph->visible() && !m_compare.isEmpty());
    updateStatistics();
    updateCursors();
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
        if (!plot->graph(c)->visible())
            continue;
        const float v = m_data.value(i, c);
        // As the card wrote it: "23.4", "734".
        text += QStringLiteral("    Ch%1 %2").arg(c + 1).arg(
            std::isnan(v) ? QStringLiteral("–") : QString::number(double(v), 'g', 6));
    }
    lblCursor->setText(text);
    plot->replot(QCustomPlot::rpQueuedReplot);
}

bool frmHistory::keyMovesView(int key)
{
    QCPAxis *x = plot->xAxis;
    const double size = x->range().size();
    const auto [first, last] = m_data.span();
    switch (key) {
    case Qt::Key_Left:
        x->moveRange(-size * 0.1);
        break;
    case Qt::Key_Right:
        x->moveRange(size * 0.1);
        break;
    case Qt::Key_PageUp:
        x->moveRange(-size * 0.9);
        break;
    case Qt::Key_PageDown:
        x->moveRange(size * 0.9);
        break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: // + without Shift on most keyboards
    case Qt::Key_Up:
        x->scaleRange(0.7, x->range().center());
        break;
    case Qt::Key_Minus:
    case Qt::Key_Down:
        x->scaleRange(1 / 0.7, x->range().center());
        break;
    case Qt::Key_Home:
        x->setRange(first, first + size);
        break;
    case Qt::Key_End:
        x->setRange(last - size, last);
        break;
    default:
        return false;
    }
    plot->replot(QCustomPlot::rpQueuedReplot);
    return true;
}

bool frmHistory::eventFilter(QObject *watched, QEvent *event)
{
    const bool mouseEvent = event->type() == QEvent::MouseButtonPress ||
                            event->type() == QEvent::MouseMove ||
                            event->type() == QEvent::MouseButtonRelease;
    if (watched == plot && mouseEvent) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        // Shift and drag selects a range for the statistics; the view stays where it is.
        if (event->type() == QEvent::MouseButtonPress && mouse->button() == Qt::LeftButton &&
            (mouse->modifiers() & Qt::ShiftModifier)) {
            m_selectFrom = plot->xAxis->pixelToCoord(mouse->position().x());
            return true;
        }
        if (m_selectFrom && (event->type() == QEvent::MouseMove ||
                             event->type() == QEvent::MouseButtonRelease)) {
            const double to = plot->xAxis->pixelToCoord(mouse->position().x());
            const double from = *m_selectFrom;
            if (event->type() == QEvent::MouseButtonRelease) {
                m_selectFrom.reset();
                // A click without a drag clears the range.
                selectRange(std::abs(plot->xAxis->coordToPixel(from) - mouse->position().x()) < 3
                                ? std::nullopt
                                : std::optional(std::pair(from, to)));
            } else {
                m_rangeShade->setVisible(true);
                m_rangeShade->topLeft->setCoords(std::min(from, to), 0);
                m_rangeShade->bottomRight->setCoords(std::max(from, to), 1);
                plot->replot(QCustomPlot::rpQueuedReplot);
            }
            return true;
        }
        if (event->type() == QEvent::MouseButtonPress) {
            // Ctrl and drag draws the rubber band; a plain drag moves the view.
            plot->setSelectionRectMode((mouse->modifiers() & Qt::ControlModifier) ? QCP::srmZoom
                                                                                   : QCP::srmNone);
        } else if (event->type() == QEvent::MouseMove) {
            showCursor(plot->xAxis->pixelToCoord(mouse->position().x()));
        }
    }
    if (watched == plot && event->type() == QEvent::KeyPress &&
        keyMovesView(static_cast<QKeyEvent *>(event)->key()))
        return true;
    return QWidget::eventFilter(watched, event);
}

} // namespace tervalo
