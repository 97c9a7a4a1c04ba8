#include "history/historyreport.h"

#include <QFileInfo>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace tervalo {

namespace {

// Point sizes: the title reads from across a desk, the rest like a printed table.
constexpr qreal titlePoints = 20;
constexpr qreal infoPoints = 10;
constexpr qreal channelPoints = 9;
constexpr qreal tablePoints = 9;
// Below this a printed table is no longer readable; a table still too wide has its cells cut.
constexpr qreal smallestTablePoints = 4;
constexpr qreal markerPoints = 8;
// Before a table with markers under it may shrink, this many markers keep their room.
constexpr int markersKept = 3;

QFont sized(qreal points, bool bold = false)
{
    QFont font;
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

struct Fonts
{
    QFont title = sized(titlePoints, true);
    QFont info = sized(infoPoints);
    QFont channel = sized(channelPoints);
    QFont markerHeading = sized(markerPoints, true);
    QFont marker = sized(markerPoints);
};

QFont bold(QFont font)
{
    font.setBold(true);
    return font;
}

qsizetype columnCount(const QList<QStringList> &rows)
{
    qsizetype count = 0;
    for (const QStringList &row : rows)
        count = std::max(count, row.size());
    return count;
}

qreal cellPadding(const QFontMetricsF &metrics)
{
    return metrics.height() * 0.3;
}

// Each column as wide as its widest cell with a little room either side; the header in bold.
QList<qreal> naturalWidths(const QList<QStringList> &rows, const QFont &font,
                           const QPaintDevice *device)
{
    const QFontMetricsF plain(font, device);
    const QFontMetricsF header(bold(font), device);
    QList<qreal> widths(columnCount(rows), 0);
    for (qsizetype r = 0; r < rows.size(); ++r) {
        const QFontMetricsF &metrics = r == 0 ? header : plain;
        for (qsizetype c = 0; c < rows[r].size(); ++c)
            widths[c] = std::max(widths[c], metrics.horizontalAdvance(rows[r][c]));
    }
    for (qreal &width : widths)
        width += 2 * cellPadding(plain);
    return widths;
}

qreal sum(const QList<qreal> &values)
{
    qreal total = 0;
    for (qreal value : values)
        total += value;
    return total;
}

// The table at the largest size up to tablePoints at which it fits `width` and `height`. When
// even the smallest size is too wide, the columns are narrowed alike and their text is cut.
void layTable(ReportLayout &layout, const QList<QStringList> &rows, const QPointF &topLeft,
              qreal width, qreal height, const QPaintDevice *device)
{
    qreal points = tablePoints;
    QFont font = sized(points);
    QList<qreal> widths;
    qreal rowHeight = 0;
    // Glyph widths do not scale exactly with the size, so the size is found in a few rounds.
    for (int round = 0; round < 30; ++round) {
        font.setPointSizeF(points);
        widths = naturalWidths(rows, font, device);
        rowHeight = QFontMetricsF(font, device).height() * 1.4;
        const qreal total = sum(widths);
        qreal factor = 1;
        if (total > width)
            factor = std::min(factor, width / total);
        if (rowHeight * rows.size() > height)
            factor = std::min(factor, height / (rowHeight * rows.size()));
        if (factor >= 1 || points <= smallestTablePoints)
            break;
        points = std::max(smallestTablePoints, points * std::min(factor, 0.97));
    }
    const qreal total = sum(widths);
    if (total > width) {
        // Rounded down so the columns together never come out wider than the page.
        for (qreal &w : widths)
            w = std::floor(w * width / total * 100) / 100;
    }
    const int fit = rowHeight > 0 ? int(std::floor(std::max<qreal>(0, height) / rowHeight)) : 0;
    // A header with no row under it says nothing.
    const int shown = std::min(int(rows.size()), fit);
    layout.tableFont = font;
    layout.columnWidths = widths;
    layout.rowHeight = rowHeight;
    layout.tableRows = shown >= 2 || rows.size() == 1 ? shown : 0;
    if (layout.tableRows > 0)
        layout.table = QRectF(topLeft, QSizeF(sum(widths), rowHeight * layout.tableRows));
}

QString oneLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

QString leftOutText(int count)
{
    return count == 1 ? QStringLiteral("… and 1 more marker")
                      : QStringLiteral("… and %1 more markers").arg(count);
}

qreal pointsToDevice(qreal points, const QPaintDevice *device)
{
    return points * device->logicalDpiY() / 72.0;
}

} // namespace

ReportLayout reportLayout(const QRectF &page, const ReportContent &content,
                          const QPaintDevice *device)
{
    const Fonts fonts;
    ReportLayout layout;
    const qreal left = page.left();
    const qreal width = page.width();
    qreal y = page.top();
    const auto line = [&](const QFont &font) {
        const QRectF rect(left, y, width, QFontMetricsF(font, device).height());
        y = rect.bottom();
        return rect;
    };
    const qreal gap = pointsToDevice(6, device);

    layout.title = line(fonts.title);
    y += gap / 2;
    if (!content.logName.isEmpty())
        layout.logName = line(fonts.info);
    if (!content.rangeText.isEmpty())
        layout.range = line(fonts.info);

    // The channels side by side, on as many lines as they need.
    const QFontMetricsF channelMetrics(fonts.channel, device);
    const qreal spacing = channelMetrics.horizontalAdvance(QStringLiteral("MM"));
    qreal x = left;
    if (!content.channelLines.isEmpty())
        y += gap / 2;
    for (qsizetype i = 0; i < content.channelLines.size(); ++i) {
        const qreal w = std::min(width, channelMetrics.horizontalAdvance(content.channelLines[i]));
        if (x > left && x + w > left + width) {
            x = left;
            y += channelMetrics.height();
        }
        layout.channels.append(QRectF(x, y, w, channelMetrics.height()));
        x += w + spacing;
    }
    if (!content.channelLines.isEmpty())
        y += channelMetrics.height();
    y += gap;

    const qreal plotHeight = std::clamp(page.height() / 2, 0.0, page.bottom() - y);
    layout.plot = QRectF(left, y, width, plotHeight);
    y = layout.plot.bottom() + gap;

    const QFontMetricsF markerMetrics(fonts.marker, device);
    const qreal markerLine = markerMetrics.height() * 1.2;
    const qreal headingHeight = QFontMetricsF(fonts.markerHeading, device).height() * 1.3;
    // The markers go beside a table that leaves more than half the width free, else under it.
    qreal markersLeft = left;
    if (!content.statsTable.isEmpty()) {
        const QPointF corner(left, y);
        layTable(layout, content.statsTable, corner, width, page.bottom() - y, device);
        if (!content.markers.isEmpty() && !layout.table.isEmpty() &&
            layout.table.width() + 2 * gap <= width / 2) {
            markersLeft = layout.table.right() + 2 * gap;
        } else {
            if (!content.markers.isEmpty()) {
                const qreal kept =
                    gap + headingHeight +
                    markerLine * std::min<qsizetype>(markersKept, content.markers.size());
                layTable(layout, content.statsTable, corner, width, page.bottom() - y - kept,
                         device);
            }
            if (!layout.table.isEmpty())
                y = layout.table.bottom() + gap;
        }
    }

    if (!content.markers.isEmpty()) {
        const qreal markersWidth = left + width - markersLeft;
        const int room = int(std::floor((page.bottom() - y - headingHeight) / markerLine));
        const int count = int(content.markers.size());
        if (room >= 1) {
            layout.markersHeading = QRectF(markersLeft, y, markersWidth, headingHeight);
            y += headingHeight;
            const int shown = count <= room ? count : room - 1;
            layout.markersLeftOut = count - shown;
            for (int i = 0; i < shown; ++i) {
                layout.markerTimeWidth =
                    std::max(layout.markerTimeWidth,
                             markerMetrics.horizontalAdvance(content.markers[i].first));
            }
            layout.markerTimeWidth = std::min(layout.markerTimeWidth, markersWidth / 3);
            for (int i = 0; i < shown + (layout.markersLeftOut > 0 ? 1 : 0); ++i) {
                layout.markerRows.append(
                    QRectF(markersLeft, y + i * markerLine, markersWidth, markerLine));
            }
        } else {
            layout.markersLeftOut = count;
        }
    }
    return layout;
}

void paintReport(QPainter &painter, const QRectF &page, const ReportContent &content)
{
    const ReportLayout layout = reportLayout(page, content, painter.device());
    const Fonts fonts;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(Qt::black);

    const auto text = [&](const QRectF &rect, const QFont &font, const QString &s,
                          Qt::Alignment align = Qt::AlignLeft,
                          Qt::TextElideMode elide = Qt::ElideRight) {
        painter.setFont(font);
        const QString shown =
            QFontMetricsF(font, painter.device()).elidedText(oneLine(s), elide, rect.width());
        painter.drawText(rect, int(align | Qt::AlignVCenter | Qt::TextSingleLine), shown);
    };

    text(layout.title, fonts.title, content.title);
    if (!layout.logName.isEmpty())
        // A long path keeps its beginning and the file's name.
        text(layout.logName, fonts.info, content.logName, Qt::AlignLeft, Qt::ElideMiddle);
    if (!layout.range.isEmpty())
        text(layout.range, fonts.info, content.rangeText);
    for (qsizetype i = 0; i < layout.channels.size(); ++i)
        text(layout.channels[i], fonts.channel, content.channelLines[i]);

    if (content.drawPlot && !layout.plot.isEmpty()) {
        painter.save();
        painter.setClipRect(layout.plot);
        content.drawPlot(painter, layout.plot);
        painter.restore();
    }

    if (layout.tableRows > 0) {
        const qreal lineWidth = pointsToDevice(0.5, painter.device());
        const QRectF header(layout.table.topLeft(), QSizeF(layout.table.width(), layout.rowHeight));
        painter.fillRect(header, QColor(230, 230, 230));
        const QFontMetricsF metrics(layout.tableFont, painter.device());
        const qreal padding = cellPadding(metrics);
        for (int r = 0; r < layout.tableRows; ++r) {
            const QStringList &row = content.statsTable[r];
            qreal x = layout.table.left();
            for (qsizetype c = 0; c < layout.columnWidths.size(); ++c) {
                const qreal w = layout.columnWidths[c];
                const QRectF cell(x, layout.table.top() + r * layout.rowHeight, w,
                                  layout.rowHeight);
                // The first column names the row; the others hold numbers, which line up
                // on the right.
                const Qt::Alignment align = c == 0 ? Qt::AlignLeft : Qt::AlignRight;
                text(cell.adjusted(padding, 0, -padding, 0),
                     r == 0 ? bold(layout.tableFont) : layout.tableFont, row.value(c), align);
                x += w;
            }
        }
        painter.setPen(QPen(Qt::black, lineWidth));
        painter.setBrush(Qt::NoBrush);
        for (int r = 0; r <= layout.tableRows; ++r) {
            const qreal y = layout.table.top() + r * layout.rowHeight;
            painter.drawLine(QPointF(layout.table.left(), y), QPointF(layout.table.right(), y));
        }
        qreal x = layout.table.left();
        for (qsizetype c = 0; c <= layout.columnWidths.size(); ++c) {
            painter.drawLine(QPointF(x, layout.table.top()), QPointF(x, layout.table.bottom()));
            if (c < layout.columnWidths.size())
                x += layout.columnWidths[c];
        }
        painter.setPen(Qt::black);
    }

    if (!layout.markerRows.isEmpty()) {
        text(layout.markersHeading, fonts.markerHeading, QStringLiteral("Markers"));
        const qreal space =
            QFontMetricsF(fonts.marker, painter.device()).horizontalAdvance(QStringLiteral("MM"));
        const qsizetype shown = layout.markerRows.size() - (layout.markersLeftOut > 0 ? 1 : 0);
        for (qsizetype i = 0; i < shown; ++i) {
            const QRectF row = layout.markerRows[i];
            const auto &[time, note] = content.markers[i];
            text(QRectF(row.left(), row.top(), layout.markerTimeWidth, row.height()), fonts.marker,
                 time);
            text(row.adjusted(layout.markerTimeWidth + space, 0, 0, 0), fonts.marker, note);
        }
        if (layout.markersLeftOut > 0)
            text(layout.markerRows.last(), fonts.marker, leftOutText(layout.markersLeftOut));
    }
    painter.restore();
}

bool writeReportPdf(const QString &fileName, const ReportContent &content, QString *problem)
{
    if (problem)
        problem->clear();
    const auto failed = [&](const QString &reason) {
        if (problem)
            *problem = QStringLiteral("The report could not be saved as %1: %2")
                           .arg(QFileInfo(fileName).fileName(), reason);
        return false;
    };

    // Written beside the file and renamed over it at the end, so a failure part way leaves
    // the file that was there, or none.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return failed(file.errorString());
    {
        QPdfWriter writer(&file);
        writer.setResolution(300);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                                         QMarginsF(12, 12, 12, 12), QPageLayout::Millimeter));
        writer.setTitle(content.title);
        writer.setCreator(QStringLiteral("Tervalo"));
        QPainter painter;
        if (!painter.begin(&writer)) {
            file.cancelWriting();
            return failed(QStringLiteral("the page could not be drawn"));
        }
        paintReport(painter, QRectF(painter.viewport()), content);
        if (!painter.end()) {
            file.cancelWriting();
            return failed(QStringLiteral("the page could not be drawn"));
        }
    }
    if (!file.commit())
        return failed(file.errorString());
    return true;
}

bool printReport(QPrinter &printer, const ReportContent &content)
{
    printer.setDocName(content.title);
    printer.setCreator(QStringLiteral("Tervalo"));
    QPainter painter;
    if (!painter.begin(&printer))
        return false;
    paintReport(painter, QRectF(painter.viewport()), content);
    return painter.end() && printer.printerState() != QPrinter::Error;
}

} // namespace tervalo
