#include "history/frmhistory.h"

#include "common/cardrules.h"
#include "history/logsource.h"
#include "output/filedialog.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>
#include <qcustomplot.h>

namespace tervalo {

namespace {

QString count(qint64 n)
{
    return QLocale().toString(n);
}

} // namespace

QString historyUnitName(char unit)
{
    // A view shows one unit, "r" when it has none of the others.
    const QString name = unitName(QString(QLatin1Char(unit)));
    return name.isEmpty() ? unitName(QStringLiteral("r")) : name;
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
    cmdFit = button("cmdFit", QStringLiteral("F&it"));
    cmdExport = button("cmdExport", QStringLiteral("&Export..."));
    lblCursor = new QLabel(this);
    lblCursor->setObjectName(QStringLiteral("lblCursor"));
    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setWordWrap(true);
    prgLoad = new QProgressBar(this);
    prgLoad->setObjectName(QStringLiteral("prgLoad"));
    prgLoad->setRange(0, 1000);
    prgLoad->setTextVisible(true);
    prgLoad->setVisible(false);
    cmdCancel = button("cmdCancel", QStringLiteral("Cancel"));
    cmdCancel->setVisible(false);

    createPlot();
    createAnalysis();

    connect(cmdOpen, &QPushButton::clicked, this, &frmHistory::cmdOpen_Click);
    connect(cmdFollow, &QPushButton::clicked, this, &frmHistory::cmdFollow_Click);
    connect(cmdFit, &QPushButton::clicked, this, &frmHistory::cmdFit_Click);
    connect(cmdExport, &QPushButton::clicked, this, &frmHistory::cmdExport_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmHistory::cmdCancel_Click);
    connect(&m_loader, &LogLoader::progress, this, &frmHistory::loadProgress);
    connect(&m_loader, &LogLoader::finished, this, &frmHistory::loadFinished);
    m_poll.setInterval(1000);
    connect(&m_poll, &QTimer::timeout, this, &frmHistory::pollFile);

    auto *buttons = new QHBoxLayout;
    for (QPushButton *b : {cmdOpen, cmdFollow, cmdFit, cmdExport})
        buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(cmbUnit);
    auto *layout = new QVBoxLayout(this);
    layout->setMenuBar(menuBar);
    layout->addLayout(buttons);
    layout->addWidget(plot, 1);
    layout->addWidget(lblCursor);
    layout->addWidget(lblCursors);
    layout->addWidget(statsPanel);
    auto *status = new QHBoxLayout;
    status->addWidget(lblStatus, 1);
    status->addWidget(prgLoad);
    status->addWidget(cmdCancel);
    layout->addLayout(status);

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
    m_loader.stop();
    prgLoad->setVisible(false);
    cmdCancel->setVisible(false);
    m_data.clear();
    m_data.setShownUnit(char(cmbUnit->currentData().toInt()));
    m_reader = std::make_unique<LogReader>();
    // Times of another record: the range, the cursors and the markers go with it.
    selectRange({});
    setCursor(0, {});
    setCursor(1, {});
    m_markers.clear();
    drawMarkers();
    m_problem.clear();
    m_valueZoomed = false;
    m_cursorLine->setVisible(false);
    lblCursor->clear();
}

void frmHistory::take(const LogRecord &record)
{
    m_data.append(record);
}

void frmHistory::setMemory(const SampleBuffer *buffer)
{
    m_memory = buffer;
    m_memoryLimit = buffer ? buffer->limit() : 0;
}

void frmHistory::followMemory(const SampleBuffer *buffer)
{
    m_following = true;
    setMemory(buffer);
    m_tail.reset();
    m_poll.stop();
    startOver();
    if (buffer) {
        for (const HistorySample &sample : *buffer)
            take(sample.record());
    }
    m_data.sortByTime();
    m_data.updateInterval();
    afterLoad();
}

void frmHistory::followFile(const QString &fileName)
{
    load(fileName, true);
}

void frmHistory::openFile(const QString &fileName)
{
    load(fileName, false);
}

void frmHistory::load(const QString &fileName, bool following)
{
    m_following = following;
    m_opened = !following;
    m_poll.stop();
    startOver();
    m_tail = std::make_unique<LogTail>(fileName);
    if (QFileInfo(fileName).size() < backgroundLoadBytes) {
        const std::atomic<bool> never{false};
        loadFinished(loadLog(fileName, never));
        return;
    }
    // What was shown goes first: two month-long logs would not fit side by side.
    refreshLines();
    plot->replot();
    prgLoad->setValue(0);
    prgLoad->setFormat(QStringLiteral("Reading %1: %p%").arg(QFileInfo(fileName).fileName()));
    prgLoad->setVisible(true);
    cmdCancel->setVisible(true);
    // The unit chosen may not be the latest record's: then the window works the lines out.
    m_loader.start(fileName, cmbUnit->currentData().toInt() == 0 ? plot->axisRect()->width() : 0);
    updateStatus();
}

void frmHistory::loadProgress(qint64 done, qint64 total)
{
    prgLoad->setValue(total > 0 ? int(done * 1000 / total) : 0);
}

void frmHistory::cmdCancel_Click()
{
    m_loader.cancel();
}

void frmHistory::loadFinished(const std::shared_ptr<LoadedLog> &log)
{
    prgLoad->setVisible(false);
    cmdCancel->setVisible(false);
    const QString name = QFileInfo(log->tail.fileName()).fileName();
    m_data = std::move(log->data);
    m_data.setShownUnit(char(cmbUnit->currentData().toInt()));
    m_reader = std::make_unique<LogReader>(std::move(log->reader));
    m_tail = std::make_unique<LogTail>(std::move(log->tail));
    loadMarkers();
    switch (log->outcome) {
    case LoadedLog::Outcome::Read:
        m_problem = m_loadNote;
        m_poll.start();
        break;
    case LoadedLog::Outcome::Missing:
        m_problem = QStringLiteral("The file %1 is not there (any more).").arg(name);
        m_poll.start(); // a log that is to come is shown once it is there
        break;
    case LoadedLog::Outcome::Unreadable:
        m_problem = QStringLiteral("The file %1 cannot be read.").arg(name);
        m_poll.start();
        break;
    case LoadedLog::Outcome::Cancelled:
        // What was read is shown, and stays: following on from the middle of a log would show
        // its end with a hole before it. Live reads the current log again.
        m_problem = QStringLiteral("Reading %1 was cancelled: the records up to %2 % of it are "
                                   "shown.")
                        .arg(name)
                        .arg(QFileInfo(m_tail->fileName()).size() > 0
                                 ? m_tail->offset() * 100 / QFileInfo(m_tail->fileName()).size()
                                 : 0);
        m_following = false;
        break;
    }
    m_loadNote.clear();
    if (log->columns > 0) {
        m_preparedColumns = log->columns;
        m_preparedLines = std::move(log->lines);
    }
    afterLoad();
    m_preparedColumns = 0;
    if (m_opened) {
        m_opened = false;
        if (log->outcome == LoadedLog::Outcome::Missing || log->outcome == LoadedLog::Outcome::Unreadable) {
            showMessage(m_problem);
        } else if (m_data.isEmpty() && log->outcome == LoadedLog::Outcome::Read) {
            const QString path = m_tail->fileName();
            showMessage(m_reader->records() > 0
                            ? QStringLiteral("No record of %1 has a date and time that can be read.").arg(name)
                        : QFileInfo(path).size() > 0
                            ? QStringLiteral("%1 is not a Tervalo log: none of its lines is a reading.").arg(name)
                            : QStringLiteral("%1 holds no readings yet.").arg(name));
        }
    }
    emit loaded();
}

void frmHistory::readFile()
{
    const QString name = QFileInfo(m_tail->fileName()).fileName();
    const auto sink = [this](const LogRecord &record, QByteArrayView) { appendLive(record); };
    QByteArray bytes;
    for (;;) {
        switch (m_tail->read(bytes)) {
        case LogTail::State::Missing:
            m_problem = QStringLiteral("The file %1 is not there (any more).").arg(name);
            return;
        case LogTail::State::Unreadable:
            m_problem = QStringLiteral("The file %1 cannot be read.").arg(name);
            return;
        case LogTail::State::Shrunk:
            // Cut short or written anew: what was shown may no longer be in it.
            m_loadNote = QStringLiteral("%1 became shorter and was read again.").arg(name);
            load(m_tail->fileName(), m_following);
            return;
        case LogTail::State::Read:
            if (bytes.isEmpty())
                return;
            m_problem.clear();
            m_reader->read(bytes, sink);
            break;
        }
    }
}

void frmHistory::pollFile()
{
    if (!m_tail || loading())
        return;
    const QString before = m_problem;
    readFile();
    if (m_problem != before)
        updateStatus();
    redraw();
}

void frmHistory::readingTaken(const HistorySample &sample, const QString &logFile)
{
    if (!m_following)
        return; // an opened file stays, watched by its timer
    if (!logFile.isEmpty()) {
        if (loading() && logFile == fileName())
            return; // read to its end when the whole is shown
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
    appendLive(sample.record());
    redraw();
}

void frmHistory::afterLoad()
{
    plot->yAxis->setLabel(QStringLiteral("Temperature ") + historyUnitName(m_data.shownUnit()));
    m_compare.setShownUnit(m_data.shownUnit());
    cmdFit_Click();
    updateStatus();
}

void frmHistory::updateStatus()
{
    QStringList parts;
    if (m_tail)
        parts << QStringLiteral("Log %1%2").arg(QFileInfo(m_tail->fileName()).fileName(),
                                                 m_following ? QStringLiteral(" (live)") : QString());
    else
        parts << QStringLiteral("Readings since the program started");
    if (loading()) {
        parts << QStringLiteral("reading the log");
        lblStatus->setText(parts.join(QStringLiteral(" · ")));
        return;
    }
    const qsizetype shown = m_data.size() - m_data.leftOut();
    parts << (m_data.isEmpty() ? QStringLiteral("no records yet")
                               : QStringLiteral("%1 records in %2")
                                     .arg(count(shown), historyUnitName(m_data.shownUnit())));
    const char shownUnit = m_data.shownUnit();
    if (shownUnit != 'r') {
        const char other = shownUnit == 'c' ? 'f' : 'c';
        if (m_data.count(other) > 0)
            parts << QStringLiteral("%1 of them logged in %2 and converted")
                         .arg(count(m_data.count(other)), historyUnitName(other));
    }
    if (m_data.leftOut() > 0)
        parts << (shownUnit == 'r'
                      ? QStringLiteral("%1 records in °C or °F left out: choose the unit to see them")
                      : QStringLiteral("%1 records of raw counts left out: choose Raw counts to see them"))
                     .arg(count(m_data.leftOut()));
    if (m_reader->unplacedTimes() > 0)
        parts << QStringLiteral("%1 records without a readable date or time, placed after the "
                                "one before").arg(count(m_reader->unplacedTimes()));
    if (m_reader->unreadableLines() > 0)
        parts << QStringLiteral("%1 lines that are not records").arg(count(m_reader->unreadableLines()));
    if (!comparisonText().isEmpty())
        parts << comparisonText();
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
    // The line under the mouse follows the hand, not the data: it stays out of a picture.
    const bool cursorShown = m_cursorLine->visible();
    m_cursorLine->setVisible(false);
    bool saved = false;
    if (suffix == QLatin1String("pdf"))
        saved = plot->savePdf(name);
    else if (suffix == QLatin1String("csv"))
        saved = exportCsv(name);
    else if (suffix == QLatin1String("png"))
        saved = plot->savePng(name);
    m_cursorLine->setVisible(cursorShown);
    if (suffix != QLatin1String("pdf") && suffix != QLatin1String("csv") &&
        suffix != QLatin1String("png")) {
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
    // A log is read again with a reader of its own, which places every record as the view did,
    // and the lines in the range are copied as they are. The readings in memory have no text:
    // they are written as the log would have them.
    LogReader reader;
    const auto sink = [&](const LogRecord &record, QByteArrayView line) {
        // The records shown, as the log holds them: a Fahrenheit record shown in Celsius is
        // exported as it was logged, in Fahrenheit.
        if ((record.unit == 'r') == (unit == 'r') && record.time >= range.lower &&
            record.time <= range.upper) {
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
        for (const HistorySample &sample : *m_memory) {
            if ((sample.unit == 'r') == (unit == 'r') && sample.time >= range.lower &&
                sample.time <= range.upper)
                out.write((sampleRecord(sample) + QStringLiteral("\r\n")).toLocal8Bit());
        }
    }
    return out.commit();
}

void frmHistory::closeEvent(QCloseEvent *event)
{
    emit closed();
    event->accept();
}

} // namespace tervalo
