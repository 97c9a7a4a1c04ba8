// A one-page report of a log for the history window to save as a PDF or print: a title, the
// log's name, the time range shown, the channels with their units, the plot, a table of
// statistics and the markers.
//
// The page knows nothing of the plot widget or of the statistics: the window fills a
// ReportContent and the plot draws itself into the rectangle it is given, so the same page comes
// out on a printer, in a PDF and on an image.

#pragma once

#include <QFont>
#include <QList>
#include <QRectF>
#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

class QPaintDevice;
class QPainter;
class QPrinter;

namespace tervalo {

struct ReportContent
{
    QString title;
    QString logName;
    QString rangeText;
    QStringList channelLines; // "Ch1 top shelf (°C)"
    // Draws the plot into the rectangle given, in the painter's coordinates. May be empty.
    std::function<void(QPainter &, const QRectF &)> drawPlot;
    // Rows of cells, the first row the header. No rows: no table.
    QList<QStringList> statsTable;
    QList<std::pair<QString, QString>> markers; // time as shown, note
};

// Where everything goes on the page, in the painter's coordinates.
struct ReportLayout
{
    QRectF title;
    QRectF logName;         // empty when there is no log name
    QRectF range;           // empty when there is no range text
    QList<QRectF> channels; // one a channel line, flowed across the page
    QRectF plot;

    QRectF table;              // empty when there is no table
    QFont tableFont;           // the header row in its bold form
    QList<qreal> columnWidths; // left to right, each sized to its widest cell where there is room
    qreal rowHeight = 0;
    int tableRows = 0; // rows of the table that fit, the header counted

    QRectF markersHeading;     // empty when no marker is shown
    QList<QRectF> markerRows;  // one a marker shown, then a last one saying how many are not
    qreal markerTimeWidth = 0; // the column of the times
    int markersLeftOut = 0;    // markers with no room on the page
};

// Lays the content out on `page`, measuring text as it will be drawn on `device`.
ReportLayout reportLayout(const QRectF &page, const ReportContent &content,
                          const QPaintDevice *device);

// Paints the report into `page` with the painter as it is (its device decides the resolution).
// The painter's state is left as it was found.
void paintReport(QPainter &painter, const QRectF &page, const ReportContent &content);

// Writes the report as a one-page PDF, A4 landscape at 300 dpi, with the title as the
// document's title. The file is replaced whole or not at all. On failure returns false with the
// reason in `problem`.
bool writeReportPdf(const QString &fileName, const ReportContent &content,
                    QString *problem = nullptr);

// Prints the report on a printer the caller has set up (its dialog, page size and orientation
// are the caller's). False when the printer could not be drawn on or reported an error.
bool printReport(QPrinter &printer, const ReportContent &content);

} // namespace tervalo
