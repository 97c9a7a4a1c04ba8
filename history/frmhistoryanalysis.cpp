#include "history/frmhistory.h"

#include "common/cardrules.h"
#include "history/channelnames.h"
#include "history/historyreport.h"
#include "history/historystyle.h"
#include "output/filedialog.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QSaveFile>
#include <QTableWidget>
#include <QVBoxLayout>
#include <qcustomplot.h>

#include <cmath>

// The history window's answers: the unit shown, a range's statistics, two cursors, markers,
// channel names, a second run to compare with, and the report.

namespace tervalo {

namespace {

QString momentText(double t)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(t * 1000)))
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// A number as the user typed it: in the locale's form or with a point.
std::optional<double> typedNumber(const QString &text)
{
    bool ok = false;
    double value = QLocale().toDouble(text.trimmed(), &ok);
    if (!ok)
        value = QLocale::c().toDouble(text.trimmed(), &ok);
    return ok && std::isfinite(value) ? std::optional(value) : std::nullopt;
}

} // namespace

void frmHistory::createAnalysis()
{
    menuBar = new QMenuBar(this);
    menuBar->setObjectName(QStringLiteral("menuBar"));
    const auto item = [this](QMenu *menu, const char *name, const QString &text, auto handler,
                             const QKeySequence &keys = {}) {
        QAction *action = menu->addAction(text);
        action->setObjectName(QLatin1String(name));
        action->setShortcut(keys);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    QMenu *file = menuBar->addMenu(QStringLiteral("&File"));
    item(file, "mnuOpen", QStringLiteral("&Open Log..."), &frmHistory::cmdOpen_Click, QKeySequence::Open);
    item(file, "mnuCompare", QStringLiteral("&Compare With Log..."), &frmHistory::mnuCompare_Click);
    item(file, "mnuCloseComparison", QStringLiteral("C&lose Comparison"), [this] { compareWith({}); });
    file->addSeparator();
    item(file, "mnuExport", QStringLiteral("&Export..."), &frmHistory::cmdExport_Click);
    item(file, "mnuExportReport", QStringLiteral("Export PDF &Report..."), &frmHistory::mnuExportReport_Click);
    item(file, "mnuPrint", QStringLiteral("&Print..."), &frmHistory::mnuPrint_Click, QKeySequence::Print);
    file->addSeparator();
    item(file, "mnuClose", QStringLiteral("&Close"), [this] { close(); }, QKeySequence::Close);
    QMenu *view = menuBar->addMenu(QStringLiteral("&View"));
    item(view, "mnuLive", QStringLiteral("&Live"), &frmHistory::cmdFollow_Click);
    item(view, "mnuFit", QStringLiteral("&Fit"), &frmHistory::cmdFit_Click);
    item(view, "mnuChannelNames", QStringLiteral("Channel &Names..."), &frmHistory::mnuChannelNames_Click);
    mnuAlign = view->addMenu(QStringLiteral("&Align Comparison On"));
    mnuAlign->setObjectName(QStringLiteral("mnuAlign"));
    QMenu *analysis = menuBar->addMenu(QStringLiteral("&Analysis"));
    item(analysis, "mnuCopyStats", QStringLiteral("&Copy Statistics"), &frmHistory::cmdCopyStats_Click);
    item(analysis, "mnuExportStats", QStringLiteral("&Export Statistics..."), &frmHistory::cmdExportStats_Click);
    item(analysis, "mnuClearRange", QStringLiteral("C&lear Range"), [this] { selectRange({}); });
    item(analysis, "mnuClearCursors", QStringLiteral("&Remove Cursors"), [this] {
        setCursor(0, {});
        setCursor(1, {});
    });

    cmbUnit = new QComboBox(this);
    cmbUnit->setObjectName(QStringLiteral("cmbUnit"));
    cmbUnit->addItem(QStringLiteral("Unit as logged last"), 0);
    cmbUnit->addItem(historyUnitName('c'), int('c'));
    cmbUnit->addItem(historyUnitName('f'), int('f'));
    cmbUnit->addItem(QStringLiteral("Raw counts"), int('r'));
    cmbUnit->setToolTip(QStringLiteral("Celsius and Fahrenheit records are shown in the unit "
                                       "chosen; raw counts are shown on their own"));
    connect(cmbUnit, &QComboBox::activated, this,
            [this](int index) { setShownUnit(char(cmbUnit->itemData(index).toInt())); });

    statsPanel = new QWidget(this);
    statsPanel->setObjectName(QStringLiteral("statsPanel"));
    lblRange = new QLabel(statsPanel);
    lblRange->setObjectName(QStringLiteral("lblRange"));
    txtThreshold = new QLineEdit(statsPanel);
    txtThreshold->setObjectName(QStringLiteral("txtThreshold"));
    txtThreshold->setPlaceholderText(QStringLiteral("e.g. 250"));
    txtThreshold->setMaximumWidth(100);
    connect(txtThreshold, &QLineEdit::editingFinished, this, &frmHistory::updateStatistics);
    cmdCopyStats = new QPushButton(QStringLiteral("Copy"), statsPanel);
    cmdCopyStats->setObjectName(QStringLiteral("cmdCopyStats"));
    cmdExportStats = new QPushButton(QStringLiteral("Export CSV..."), statsPanel);
    cmdExportStats->setObjectName(QStringLiteral("cmdExportStats"));
    connect(cmdCopyStats, &QPushButton::clicked, this, &frmHistory::cmdCopyStats_Click);
    connect(cmdExportStats, &QPushButton::clicked, this, &frmHistory::cmdExportStats_Click);
    tblStats = new QTableWidget(statsPanel);
    tblStats->setObjectName(QStringLiteral("tblStats"));
    tblStats->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblStats->verticalHeader()->setVisible(false);
    tblStats->setMaximumHeight(190);
    auto *top = new QHBoxLayout;
    top->addWidget(lblRange, 1);
    top->addWidget(new QLabel(QStringLiteral("Threshold:"), statsPanel));
    top->addWidget(txtThreshold);
    top->addWidget(cmdCopyStats);
    top->addWidget(cmdExportStats);
    auto *panel = new QVBoxLayout(statsPanel);
    panel->setContentsMargins(0, 0, 0, 0);
    panel->addLayout(top);
    panel->addWidget(tblStats);
    statsPanel->setVisible(false);
    lblCursors = new QLabel(this);
    lblCursors->setObjectName(QStringLiteral("lblCursors"));
    lblCursors->setWordWrap(true);
    lblCursors->setVisible(false);

    m_rangeShade = new QCPItemRect(plot);
    m_rangeShade->setPen(Qt::NoPen);
    m_rangeShade->setBrush(QColor(0x44, 0x77, 0xaa, 40));
    m_rangeShade->topLeft->setTypeY(QCPItemPosition::ptAxisRectRatio);
    m_rangeShade->bottomRight->setTypeY(QCPItemPosition::ptAxisRectRatio);
    m_rangeShade->setVisible(false);
    for (int i = 0; i < 2; ++i) {
        m_cursorLines[size_t(i)] = new QCPItemStraightLine(plot);
        m_cursorLines[size_t(i)]->setPen(QPen(QColor(0x20, 0x20, 0x20), 1.5));
        m_cursorLines[size_t(i)]->setVisible(false);
    }

    askMarkerText = [this](double t) {
        return QInputDialog::getText(this, QStringLiteral("Add Marker"),
                                     QStringLiteral("Note at %1:").arg(momentText(t)));
    };
    choosePrinter = [this](QPrinter &printer) {
        QPrintDialog dialog(&printer, this);
        return dialog.exec() == QDialog::Accepted;
    };
    copyText = [](const QString &text) { QApplication::clipboard()->setText(text); };
    plot->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(plot, &QWidget::customContextMenuRequested, this, &frmHistory::contextMenu);
    connect(plot, &QCustomPlot::mouseDoubleClick, this, [this](QMouseEvent *event) {
        const double t = plot->xAxis->pixelToCoord(event->position().x());
        const QString text = askMarkerText ? askMarkerText(t) : QString();
        if (!text.trimmed().isEmpty())
            addMarker(t, text.trimmed());
    });
    m_channelNames = tervalo::channelNames();
    applyChannelNames();
    connect(&m_compareLoader, &LogLoader::finished, this, &frmHistory::compareLoaded);
}

QStringList frmHistory::channelLabels() const
{
    QStringList labels;
    for (int c = 0; c < historyChannels; ++c)
        labels << channelLabel(c, m_channelNames);
    return labels;
}

QString frmHistory::unitText() const
{
    switch (m_data.shownUnit()) {
    case 'c':
        return QStringLiteral("°C");
    case 'f':
        return QStringLiteral("°F");
    default:
        return QStringLiteral("counts");
    }
}

void frmHistory::setShownUnit(char unit)
{
    m_data.setShownUnit(unit);
    m_compare.setShownUnit(m_data.shownUnit());
    const int index = cmbUnit->findData(int(unit));
    if (index >= 0)
        cmbUnit->setCurrentIndex(index);
    plot->yAxis->setLabel(QStringLiteral("Temperature ") + historyUnitName(m_data.shownUnit()));
    m_valueZoomed = false;
    refreshLines();
    plot->replot();
    updateStatistics();
    updateCursors();
    updateStatus();
}

// --- A range and its statistics ---------------------------------------------------------------

void frmHistory::selectRange(std::optional<std::pair<double, double>> range)
{
    if (range && range->first > range->second)
        range = std::pair(range->second, range->first);
    m_range = range;
    m_rangeShade->setVisible(bool(range));
    if (range) {
        m_rangeShade->topLeft->setCoords(range->first, 0);
        m_rangeShade->bottomRight->setCoords(range->second, 1);
    }
    updateStatistics();
    plot->replot(QCustomPlot::rpQueuedReplot);
}

void frmHistory::updateStatistics()
{
    statsPanel->setVisible(bool(m_range));
    if (!m_range) {
        m_stats = {};
        return;
    }
    const std::optional<double> threshold = typedNumber(txtThreshold->text());
    txtThreshold->setStyleSheet(txtThreshold->text().trimmed().isEmpty() || threshold
                                    ? QString()
                                    : QStringLiteral("color: #b00020"));
    m_stats = rangeStats(m_data, m_range->first, m_range->second, threshold);
    lblRange->setText(QStringLiteral("%1 to %2 (%3)")
                          .arg(momentText(m_range->first), momentText(m_range->second),
                               durationText(m_range->second - m_range->first)));
    const QStringList labels = channelLabels();
    const QList<QStringList> rows = rangeStatsRows(m_stats, labels, unitText());
    tblStats->clear();
    tblStats->setColumnCount(rows.isEmpty() ? 0 : int(rows[0].size()));
    tblStats->setRowCount(std::max(0, int(rows.size()) - 1));
    if (!rows.isEmpty())
        tblStats->setHorizontalHeaderLabels(rows[0]);
    for (int r = 1; r < rows.size(); ++r) {
        for (int k = 0; k < rows[r].size(); ++k)
            tblStats->setItem(r - 1, k, new QTableWidgetItem(rows[r][k]));
        tblStats->setRowHidden(r - 1, !plot->graph(r - 1)->visible());
    }
    tblStats->resizeColumnsToContents();
}

void frmHistory::cmdCopyStats_Click()
{
    if (!m_range)
        return;
    const QStringList labels = channelLabels();
    QString text = rangeStatsText(m_stats, labels, unitText());
    if (m_cursors[0] && m_cursors[1])
        text += QStringLiteral("\n") + cursorDeltaText(m_delta, labels, unitText());
    if (copyText)
        copyText(text);
}

void frmHistory::cmdExportStats_Click()
{
    if (!m_range)
        return;
    QString name = QStringLiteral("statistics.csv");
    if (!m_exportDialog ||
        m_exportDialog->ShowSave(this, QStringLiteral("Comma-separated-value(*.csv)|*.csv"), name) != 0)
        return;
    const QStringList labels = channelLabels();
    QSaveFile out(name);
    const QByteArray csv = rangeStatsCsv(m_stats, labels, unitText()).toUtf8();
    if (!out.open(QIODevice::WriteOnly) || out.write(csv) != csv.size() || !out.commit())
        showMessage(QStringLiteral("%1 could not be written.").arg(name));
}

// --- Two cursors ----------------------------------------------------------------------------------

void frmHistory::setCursor(int which, std::optional<double> time)
{
    m_cursors[size_t(which)] = time;
    QCPItemStraightLine *line = m_cursorLines[size_t(which)];
    line->setVisible(bool(time));
    if (time) {
        line->point1->setCoords(*time, 0);
        line->point2->setCoords(*time, 1);
    }
    updateCursors();
    plot->replot(QCustomPlot::rpQueuedReplot);
}

void frmHistory::updateCursors()
{
    if (!m_cursors[0] || !m_cursors[1]) {
        m_delta = {};
        lblCursors->setVisible(bool(m_cursors[0]) || bool(m_cursors[1]));
        lblCursors->setText(m_cursors[0] || m_cursors[1]
                                ? QStringLiteral("Cursor %1 at %2: place the other one to see "
                                                 "the differences.")
                                      .arg(m_cursors[0] ? QStringLiteral("A") : QStringLiteral("B"),
                                           momentText(m_cursors[0] ? *m_cursors[0] : *m_cursors[1]))
                                : QString());
        return;
    }
    m_delta = cursorDelta(m_data, *m_cursors[0], *m_cursors[1]);
    if (m_delta.record1 < 0) {
        lblCursors->setText(QStringLiteral("No record near the cursors."));
        return;
    }
    // One line: "A → B: Δt 10 min 00 s · Ch1 +23.4 °C, 2.34 °C/min · …", the hidden channels
    // left out as they are from the plot.
    QStringList parts;
    parts << QStringLiteral("A %1 → B %2: Δt %3")
                 .arg(momentText(m_delta.time1), momentText(m_delta.time2), durationText(m_delta.dt));
    for (int c = 0; c < historyChannels; ++c) {
        if (!plot->graph(c)->visible())
            continue;
        const double d = m_delta.delta[size_t(c)];
        const double rate = m_delta.ratePerMinute[size_t(c)];
        parts << (std::isnan(d) ? QStringLiteral("%1 –").arg(channelLabel(c, m_channelNames))
                                : QStringLiteral("%1 %2 %3, %4 %3/min")
                                      .arg(channelLabel(c, m_channelNames))
                                      .arg(d >= 0 ? QStringLiteral("+") + QString::number(d, 'f', 2)
                                                  : QString::number(d, 'f', 2))
                                      .arg(unitText())
                                      .arg(std::isnan(rate) ? QStringLiteral("–")
                                                            : QString::number(rate, 'f', 3)));
    }
    lblCursors->setText(parts.join(QStringLiteral(" · ")));
    lblCursors->setVisible(true);
}

// --- The plot's menu ----------------------------------------------------------------------------

void frmHistory::contextMenu(QPoint at)
{
    const double t = plot->xAxis->pixelToCoord(at.x());
    QMenu menu(this);
    menu.addAction(QStringLiteral("Add &Marker Here..."), this, [this, t] {
        const QString text = askMarkerText ? askMarkerText(t) : QString();
        if (!text.trimmed().isEmpty())
            addMarker(t, text.trimmed());
    });
    // The marker within a few pixels of the click.
    for (qsizetype i = 0; i < m_markers.size(); ++i) {
        if (std::abs(plot->xAxis->coordToPixel(m_markers[i].time) - at.x()) <= 5) {
            menu.addAction(QStringLiteral("&Remove Marker \"%1\"").arg(m_markers[i].text), this,
                           [this, i] { removeMarker(i); });
            break;
        }
    }
    menu.addSeparator();
    menu.addAction(QStringLiteral("Cursor &A Here"), this, [this, t] { setCursor(0, t); });
    menu.addAction(QStringLiteral("Cursor &B Here"), this, [this, t] { setCursor(1, t); });
    if (m_cursors[0] && m_cursors[1])
        menu.addAction(QStringLiteral("&Statistics Between the Cursors"), this,
                       [this] { selectRange(std::pair(*m_cursors[0], *m_cursors[1])); });
    if (m_cursors[0] || m_cursors[1])
        menu.addAction(QStringLiteral("Remove &Cursors"), this, [this] {
            setCursor(0, {});
            setCursor(1, {});
        });
    if (m_range)
        menu.addAction(QStringLiteral("C&lear Range"), this, [this] { selectRange({}); });
    menu.exec(plot->mapToGlobal(at));
}

// --- Markers ------------------------------------------------------------------------------------

void frmHistory::loadMarkers()
{
    m_markers.clear();
    if (m_tail) {
        QString problem;
        if (const auto read = readMarkers(markerFileName(m_tail->fileName()), &problem))
            m_markers = *read;
        if (!problem.isEmpty())
            m_problem = m_problem.isEmpty() ? problem : m_problem + QStringLiteral(" · ") + problem;
    }
    drawMarkers();
}

bool frmHistory::addMarker(double time, const QString &text)
{
    if (!m_tail) {
        showMessage(QStringLiteral("Markers are kept beside a log: open or follow a log to add "
                                   "them."));
        return false;
    }
    QList<Marker> markers = m_markers;
    markers.append({time, text});
    QString problem;
    if (!writeMarkers(markerFileName(m_tail->fileName()), markers, &problem)) {
        showMessage(problem);
        return false;
    }
    std::stable_sort(markers.begin(), markers.end(),
                     [](const Marker &a, const Marker &b) { return a.time < b.time; });
    m_markers = markers;
    drawMarkers();
    plot->replot();
    return true;
}

bool frmHistory::removeMarker(qsizetype index)
{
    if (!m_tail || index < 0 || index >= m_markers.size())
        return false;
    QList<Marker> markers = m_markers;
    markers.removeAt(index);
    QString problem;
    if (!writeMarkers(markerFileName(m_tail->fileName()), markers, &problem)) {
        showMessage(problem);
        return false;
    }
    m_markers = markers;
    drawMarkers();
    plot->replot();
    return true;
}

void frmHistory::drawMarkers()
{
    for (QCPItemStraightLine *line : std::as_const(m_markerLines))
        plot->removeItem(line);
    for (QCPItemText *text : std::as_const(m_markerTexts))
        plot->removeItem(text);
    m_markerLines.clear();
    m_markerTexts.clear();
    const auto draw = [this](double t, const QString &note, bool dashed) {
        auto *line = new QCPItemStraightLine(plot);
        line->setPen(QPen(QColor(0x60, 0x60, 0x60), 1, dashed ? Qt::DashLine : Qt::DotLine));
        line->point1->setCoords(t, 0);
        line->point2->setCoords(t, 1);
        auto *text = new QCPItemText(plot);
        text->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
        text->position->setCoords(t, 0.01);
        text->setPositionAlignment(Qt::AlignLeft | Qt::AlignTop);
        text->setText(note);
        text->setColor(QColor(0x30, 0x30, 0x30));
        text->setBrush(QColor(255, 255, 255, 200));
        text->setPadding(QMargins(2, 1, 2, 1));
        text->setClipToAxisRect(true);
        m_markerLines.append(line);
        m_markerTexts.append(text);
    };
    for (const Marker &marker : std::as_const(m_markers))
        draw(marker.time, marker.text, false);
    // The compared run's markers, where they fall on this run's time.
    if (!m_compareFile.isEmpty()) {
        for (const Marker &marker : std::as_const(m_compareMarkers))
            draw(marker.time + m_compareShift, marker.text + QStringLiteral(" (compared)"), true);
    }
}

// --- Channel names ------------------------------------------------------------------------------

void frmHistory::setChannelNames(const QStringList &names)
{
    saveChannelNames(names);
    m_channelNames = tervalo::channelNames();
    applyChannelNames();
    updateStatistics();
    updateCursors();
    plot->replot();
}

void frmHistory::applyChannelNames()
{
    for (int c = 0; c < historyChannels; ++c)
        plot->graph(c)->setName(channelLabel(c, m_channelNames));
}

void frmHistory::mnuChannelNames_Click()
{
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Channel Names"));
    auto *form = new QFormLayout(&dialog);
    std::array<QLineEdit *, historyChannels> boxes{};
    for (int c = 0; c < historyChannels; ++c) {
        boxes[size_t(c)] = new QLineEdit(&dialog);
        boxes[size_t(c)]->setMaxLength(channelNameLength);
        const QString name = m_channelNames.value(c);
        boxes[size_t(c)]->setText(name == defaultChannelName(c) ? QString() : name);
        boxes[size_t(c)]->setPlaceholderText(defaultChannelName(c));
        form->addRow(defaultChannelName(c) + QLatin1Char(':'), boxes[size_t(c)]);
    }
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return;
    QStringList names;
    for (QLineEdit *box : boxes)
        names << box->text();
    setChannelNames(names);
}

// --- A second run -----------------------------------------------------------------------------

void frmHistory::mnuCompare_Click()
{
    const QString name = chooseLog ? chooseLog() : QString();
    if (!name.isEmpty())
        compareWith(name);
}

void frmHistory::compareWith(const QString &fileName)
{
    m_compareLoader.stop();
    m_compare.clear();
    m_compareMarkers.clear();
    m_compareFile = fileName;
    m_alignedOn.clear();
    if (fileName.isEmpty()) {
        refreshLines();
        drawMarkers();
        mnuAlign->clear();
        plot->replot();
        updateStatus();
        return;
    }
    if (QFileInfo(fileName).size() < backgroundLoadBytes) {
        const std::atomic<bool> never{false};
        compareLoaded(loadLog(fileName, never));
    } else {
        m_compareLoader.start(fileName);
        updateStatus();
    }
}

void frmHistory::compareLoaded(const std::shared_ptr<LoadedLog> &log)
{
    const QString name = QFileInfo(log->tail.fileName()).fileName();
    if (log->outcome != LoadedLog::Outcome::Read || log->data.isEmpty()) {
        m_compareFile.clear();
        showMessage(QStringLiteral("%1 cannot be compared: it holds no readings that can be read.")
                        .arg(name));
        updateStatus();
        return;
    }
    m_compare = std::move(log->data);
    m_compare.setShownUnit(m_data.shownUnit());
    if (const auto read = readMarkers(markerFileName(m_compareFile)))
        m_compareMarkers = *read;
    // Align on a marker both runs have, chosen from the menu; the runs' starts at first.
    mnuAlign->clear();
    mnuAlign->addAction(QStringLiteral("Start of Each Run"), this, [this] { alignComparison({}); });
    for (const Marker &marker : std::as_const(m_markers)) {
        for (const Marker &other : std::as_const(m_compareMarkers)) {
            if (other.text == marker.text) {
                mnuAlign->addAction(QStringLiteral("Marker \"%1\"").arg(marker.text), this,
                                    [this, text = marker.text] { alignComparison(text); });
                break;
            }
        }
    }
    alignComparison({});
}

void frmHistory::alignComparison(const QString &markerText)
{
    if (m_compare.isEmpty())
        return;
    const auto markerTime = [&markerText](const QList<Marker> &markers) -> std::optional<double> {
        for (const Marker &marker : markers) {
            if (marker.text == markerText)
                return marker.time;
        }
        return std::nullopt;
    };
    const auto here = markerTime(m_markers);
    const auto there = markerTime(m_compareMarkers);
    if (!markerText.isEmpty() && here && there) {
        m_alignedOn = markerText;
        m_compareShift = *here - *there;
    } else {
        m_alignedOn.clear();
        m_compareShift = m_data.span().first - m_compare.span().first;
    }
    refreshLines();
    drawMarkers();
    plot->replot();
    updateStatus();
}

QString frmHistory::comparisonText() const
{
    if (m_compareFile.isEmpty())
        return {};
    const QString name = QFileInfo(m_compareFile).fileName();
    if (m_compareLoader.running())
        return QStringLiteral("reading %1 to compare").arg(name);
    return m_alignedOn.isEmpty()
               ? QStringLiteral("dashed: %1, aligned on the start of each run").arg(name)
               : QStringLiteral("dashed: %1, aligned on the marker \"%2\"").arg(name, m_alignedOn);
}

void frmHistory::refreshComparison(double from, double to, int columns)
{
    const bool shown = !m_compare.isEmpty();
    while (plot->graphCount() < 2 * historyChannels) {
        const int c = plot->graphCount() - historyChannels;
        QCPGraph *graph = plot->addGraph();
        graph->setLayer(QStringLiteral("lines"));
        QPen pen(historyColours[size_t(c)], historyLineWidth, Qt::DashLine);
        graph->setPen(pen);
        graph->removeFromLegend();
    }
    const auto lines = shown ? decimateAll(m_compare, from - m_compareShift, to - m_compareShift, columns)
                             : std::array<PlotLine, historyChannels>{};
    for (int c = 0; c < historyChannels; ++c) {
        QCPGraph *graph = plot->graph(historyChannels + c);
        QList<double> keys = lines[size_t(c)].keys;
        for (double &key : keys)
            key += m_compareShift;
        graph->setData(keys, lines[size_t(c)].values, true);
        graph->setVisible(shown && plot->graph(c)->visible());
    }
}

// --- The report ---------------------------------------------------------------------------------

ReportContent frmHistory::reportContent()
{
    ReportContent content;
    content.title = QStringLiteral("Temperature history");
    content.logName = m_tail ? QFileInfo(m_tail->fileName()).fileName()
                             : QStringLiteral("Readings since the program started");
    if (!m_compareFile.isEmpty())
        content.logName += QStringLiteral(", compared with %1 (dashed)")
                               .arg(QFileInfo(m_compareFile).fileName());
    const QCPRange range = plot->xAxis->range();
    content.rangeText = QStringLiteral("%1 to %2").arg(momentText(range.lower), momentText(range.upper));
    for (int c = 0; c < historyChannels; ++c) {
        if (plot->graph(c)->visible())
            content.channelLines << QStringLiteral("%1 (%2)").arg(channelLabel(c, m_channelNames), unitText());
    }
    content.drawPlot = [this](QPainter &painter, const QRectF &rect) {
        // The plot as the window shows it, less the line under the mouse, drawn at three times
        // the screen's size so it stays sharp on paper.
        const bool cursorShown = m_cursorLine->visible();
        m_cursorLine->setVisible(false);
        const double aspect = rect.height() / std::max(1.0, rect.width());
        const int width = 1200;
        const QPixmap picture = plot->toPixmap(width, int(width * aspect), 3.0);
        m_cursorLine->setVisible(cursorShown);
        plot->replot(QCustomPlot::rpQueuedReplot);
        painter.drawPixmap(rect, picture, QRectF(picture.rect()));
    };
    if (m_range) {
        const QStringList labels = channelLabels();
        content.statsTable = rangeStatsRows(m_stats, labels, unitText());
        content.rangeText += QStringLiteral("; statistics of %1 to %2")
                                 .arg(momentText(m_range->first), momentText(m_range->second));
    }
    for (const Marker &marker : std::as_const(m_markers)) {
        if (marker.time >= range.lower && marker.time <= range.upper)
            content.markers.append({momentText(marker.time), marker.text});
    }
    return content;
}

bool frmHistory::exportReportPdf(const QString &fileName)
{
    QString problem;
    if (writeReportPdf(fileName, reportContent(), &problem))
        return true;
    showMessage(problem.isEmpty() ? QStringLiteral("%1 could not be written.").arg(fileName) : problem);
    return false;
}

void frmHistory::mnuExportReport_Click()
{
    QString name = QStringLiteral("history report.pdf");
    if (m_exportDialog &&
        m_exportDialog->ShowSave(this, QStringLiteral("PDF document(*.pdf)|*.pdf"), name) == 0)
        exportReportPdf(name);
}

void frmHistory::mnuPrint_Click()
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setPageOrientation(QPageLayout::Landscape);
    if (choosePrinter && choosePrinter(printer) && !printReport(printer, reportContent()))
        showMessage(QStringLiteral("The report could not be printed."));
}

} // namespace tervalo
