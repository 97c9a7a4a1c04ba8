#include "output/frmgraph.h"

#include "common/twips.h"
#include "common/seriescolours.h"
#include "output/filedialog.h"
#include "output/printing.h"

#include <QAction>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGraphicsScene>
#include <QLineSeries>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace tervalo {

namespace {

struct AxisRange
{
    double low;
    double high;
    int ticks;
};

// The value axis always shows 0 (open and disabled channels plot there) and every reading, on
// round tick steps, with some room beyond the highest and lowest reading so that no line runs
// along the top or bottom of the frame. A flat history gets a span of 10 to sit in.
AxisRange valueRange(const GraphData &data)
{
    int low = 0;
    int high = 0;
    for (const auto &point : data) {
        for (const qint16 v : point) {
            low = std::min<int>(low, v);
            high = std::max<int>(high, v);
        }
    }
    const bool flat = high - low < 10;
    if (flat)
        high = low + 10;
    const double rough = (high - low) / 6.0;
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    double step = magnitude;
    for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
        step = factor * magnitude;
        if (step >= rough)
            break;
    }
    double top = std::ceil(high / step) * step;
    double bottom = std::floor(low / step) * step;
    if (!flat && top - high < step * 0.1)
        top += step;
    if (low < 0 && low - bottom < step * 0.1)
        bottom -= step;
    return {bottom, top, int(std::lround((top - bottom) / step)) + 1};
}

// Renders a widget and its children as they look on screen, scale times finer.
QImage renderImage(QWidget *widget, qreal scale)
{
    // The chart lays out its axes on a posted request; without this a print made right after a
    // reading would show the axis of the reading before. Only layout requests run: no timer, no
    // input, nothing that could start another reading in the middle of a print.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QImage image(widget->size() * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(widget->palette().color(QPalette::Window));
    widget->render(&image);
    image.setDevicePixelRatio(1);
    return image;
}

} // namespace

frmGraph::frmGraph()
    : QWidget(nullptr), m_printer(std::make_unique<SystemGraphPrinter>()),
      m_imageDialog(std::make_unique<QtSaveFileDialog>(QtSaveFileDialog::ExistingFile::Replace))
{
    setObjectName(QStringLiteral("frmGraph"));
    setWindowTitle(QStringLiteral("Tervalo Graph"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(twipsRect(0, 0, 9060, 7440).size());

    // Created in tab order: Print, Exit, the chart.
    cmdPrint = new QPushButton(QStringLiteral("&Print"), this);
    cmdPrint->setObjectName(QStringLiteral("cmdPrint"));
    cmdPrint->setGeometry(twipsRect(6360, 6960, 1215, 375));
    cmdExit = new QPushButton(QStringLiteral("E&xit"), this);
    cmdExit->setObjectName(QStringLiteral("cmdExit"));
    cmdExit->setGeometry(twipsRect(7680, 6960, 1215, 375));

    auto *chart = new QChart;
    axisX = new QValueAxis(chart);
    axisX->setRange(0, graphPoints - 1);
    // Ticks every 7 points end on the newest point, 49.
    axisX->setTickType(QValueAxis::TicksDynamic);
    axisX->setTickAnchor(0);
    axisX->setTickInterval(7);
    axisX->setLabelFormat(QStringLiteral("%.0f"));
    axisX->setTitleText(QStringLiteral("Reading (newest at the right)"));
    axisY = new QValueAxis(chart);
    axisY->setLabelFormat(QStringLiteral("%.0f"));
    chart->addAxis(axisX, Qt::AlignBottom);
    chart->addAxis(axisY, Qt::AlignLeft);
    for (int c = 0; c < graphChannels; ++c) {
        series[c] = new QLineSeries(chart);
        chart->addSeries(series[c]);
        series[c]->attachAxis(axisX);
        series[c]->attachAxis(axisY);
        series[c]->setPen(QPen(seriesColours[c], 2));
    }
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));

    graphTemp = new QChartView(chart, this);
    graphTemp->setObjectName(QStringLiteral("graphTemp"));
    graphTemp->setGeometry(twipsRect(120, 120, 8775, 6735));
    graphTemp->setRenderHint(QPainter::Antialiasing);
    // Every reading moves the lines. Kept in a list rather than a position index, the chart's
    // few dozen items cost nothing to find, where an index would be rebuilt for each reading.
    graphTemp->scene()->setItemIndexMethod(QGraphicsScene::NoIndex);

    mnuSaveImage = new QAction(QStringLiteral("Save Image..."), graphTemp);
    mnuSaveImage->setObjectName(QStringLiteral("mnuSaveImage"));
    graphTemp->addAction(mnuSaveImage);
    graphTemp->setContextMenuPolicy(Qt::ActionsContextMenu);

    setTabOrder(cmdPrint, cmdExit);
    setTabOrder(cmdExit, graphTemp);

    connect(cmdPrint, &QPushButton::clicked, this, &frmGraph::cmdPrint_Click);
    connect(cmdExit, &QPushButton::clicked, this, &frmGraph::cmdExit_Click);
    connect(mnuSaveImage, &QAction::triggered, this, &frmGraph::mnuSaveImage_Click);

    showMessage = [this](const QString &text) {
        QMessageBox::warning(this, windowTitle(), text);
    };

    setData(GraphData{});
}

frmGraph::~frmGraph() = default;

void frmGraph::setPrinter(std::unique_ptr<GraphPrinter> printer)
{
    m_printer = std::move(printer);
}

void frmGraph::setImageDialog(std::unique_ptr<SaveFileDialog> dialog)
{
    m_imageDialog = std::move(dialog);
}

void frmGraph::labelSeries()
{
    for (int c = 0; c < graphChannels; ++c)
        series[c]->setName(QStringLiteral("Ch%1").arg(c + 1));
}

void frmGraph::setValueAxisTitle(const QString &title)
{
    axisY->setTitleText(title);
}

void frmGraph::showLegend()
{
    QLegend *legend = graphTemp->chart()->legend();
    legend->setVisible(true);
    legend->setFont(QFont(QStringLiteral("Arial"), 8));
}

void frmGraph::setData(const GraphData &data)
{
    // Readings come up to three a second and most of the time only the plotted lines move, so
    // only what changed is handed to the chart: a series whose 50 points are the same as before
    // (a disabled or open channel, a steady reading) and an axis whose range stays are left
    // alone, and the chart redraws just the plot area instead of laying itself out again.
    for (int c = 0; c < graphChannels; ++c) {
        QList<QPointF> points;
        points.reserve(graphPoints);
        for (int i = 0; i < graphPoints; ++i)
            points.append(QPointF(i, data[i][c]));
        if (points == series[c]->points())
            continue;
        // One replace per series: the chart updates it once, not fifty times.
        series[c]->replace(points);
    }
    const AxisRange range = valueRange(data);
    if (axisY->min() != range.low || axisY->max() != range.high)
        axisY->setRange(range.low, range.high);
    if (axisY->tickCount() != range.ticks)
        axisY->setTickCount(range.ticks);
}

QImage frmGraph::windowImage()
{
    return renderImage(this, 3);
}

void frmGraph::cmdPrint_Click()
{
    if (enableCommTimer)
        enableCommTimer(false);
    QString failure;
    const bool printed = m_printer->print(windowImage(), failure);
    // Readings go on before anything waits for the user, and whether the print worked or not.
    if (enableCommTimer && continuousFlag && continuousFlag())
        enableCommTimer(true);
    if (!printed && showMessage)
        showMessage(failure);
}

void frmGraph::cmdExit_Click()
{
    close();
}

void frmGraph::mnuSaveImage_Click()
{
    QString name = QStringLiteral("graph.png");
    const int result = m_imageDialog->ShowSave(
        this, QStringLiteral("PNG image(*.png)|*.png|PDF document(*.pdf)|*.pdf"), name);
    if (result == SaveFileDialog::cancelError)
        return;
    if (result != 0) {
        showMessage(QStringLiteral("Error %1 was encountered when opening file.").arg(result));
        return;
    }
    const QImage image = renderImage(graphTemp, 2);
    QString failure;
    if (name.endsWith(QStringLiteral(".pdf"), Qt::CaseInsensitive)) {
        PdfGraphPrinter pdf(name);
        if (!pdf.print(image, failure))
            showMessage(failure);
    } else if (!image.save(name, "PNG")) {
        showMessage(QStringLiteral("The image could not be saved to %1.").arg(name));
    }
}

void frmGraph::closeEvent(QCloseEvent *event)
{
    emit closed();
    QWidget::closeEvent(event);
}

} // namespace tervalo
