#pragma once

#include "common/logrecord.h"
#include "history/historydata.h"
#include "history/logloader.h"
#include "history/markers.h"
#include "history/historyreport.h"
#include "history/historystats.h"
#include "history/logsource.h"

#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QCustomPlot;
class QCPItemStraightLine;
class QCPItemRect;
class QCPItemText;
class QAction;
class QComboBox;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPrinter;
class QTableWidget;
class QLabel;
class QProgressBar;
class QPushButton;

namespace tervalo {

class SaveFileDialog;

// The history window: the whole record of a log, or of the readings since the program started,
// on a real time axis with zoom and pan. A window of its own, not owned by the main window;
// closing it deletes it.
class frmHistory : public QWidget
{
    Q_OBJECT
public:
    frmHistory();
    ~frmHistory() override;

    // Where the records come from. Following, the window shows the log file while logging and
    // the readings in memory otherwise; an opened file stays until the user follows again.
    // followMemory also tells the window where the readings in memory are for later.
    void followMemory(const SampleBuffer *buffer);
    void setMemory(const SampleBuffer *buffer);
    void followFile(const QString &fileName);
    void openFile(const QString &fileName);
    bool following() const { return m_following; }
    QString fileName() const; // "" for the readings in memory
    // A log is being read on its own thread: the window shows its progress and a Cancel.
    bool loading() const { return m_loader.running(); }
    // Logs up to this size are read at once; a larger one on a thread of its own (about 70 ms
    // a megabyte here, so 4 MB keep the window answering within a tenth of a second).
    qint64 backgroundLoadBytes = 4 << 20;

    // A reading was taken: what the history keeps of it, and the log file it went to ("" when
    // nothing is logged). While a log is followed the reading is read from the file instead.
    void readingTaken(const HistorySample &sample, const QString &logFile);

    void cmdOpen_Click();
    void cmdFollow_Click();
    void cmdFit_Click();
    void cmdExport_Click();
    void cmdCancel_Click();
    // Writes the records of the visible range as the log holds them (the readings in memory as
    // sampleRecord writes them); false when it could not.
    bool exportCsv(const QString &fileName);

    // Seams for the dialogs, so that nothing in a test waits for a click.
    std::function<QString()> chooseLog;
    void setExportDialog(std::unique_ptr<SaveFileDialog> dialog);
    std::function<void(const QString &)> showMessage;

    const HistoryData &data() const { return m_data; }

    // frmhistoryanalysis.cpp: what the window answers about the records.
    // The unit shown: 'c', 'f' or 'r', or 0 for that of the latest record.
    void setShownUnit(char unit);
    // A range of time for the statistics (Shift and drag, or between the two cursors); none
    // clears it. The threshold is the one typed in the statistics' box.
    void selectRange(std::optional<std::pair<double, double>> range);
    std::optional<std::pair<double, double>> selectedRange() const { return m_range; }
    const RangeStats &statistics() const { return m_stats; }
    void setCursor(int which, std::optional<double> time); // cursor 0 (A) or 1 (B)
    const CursorDelta &cursorDifference() const { return m_delta; }
    // Markers of the log shown, kept beside it in its markers file.
    bool addMarker(double time, const QString &text);
    bool removeMarker(qsizetype index);
    const QList<Marker> &markers() const { return m_markers; }
    // The six channel names, as they are stored; applies and stores them.
    void setChannelNames(const QStringList &names);
    QStringList channelNames() const { return m_channelNames; }
    // A second log over the first, dashed, aligned on each run's start or on a marker both have
    // (by its note); "" compares nothing.
    void compareWith(const QString &fileName);
    void alignComparison(const QString &markerText);
    const HistoryData &comparison() const { return m_compare; }
    double comparisonShift() const { return m_compareShift; }
    bool exportReportPdf(const QString &fileName);
    ReportContent reportContent();

    void mnuCompare_Click();
    void mnuExportReport_Click();
    void mnuPrint_Click();
    void mnuChannelNames_Click();
    void cmdCopyStats_Click();
    void cmdExportStats_Click();
    // Seams for what would wait for a person.
    std::function<QString(double)> askMarkerText;
    std::function<bool(QPrinter &)> choosePrinter;
    std::function<void(const QString &)> copyText;

    QCustomPlot *plot = nullptr;
    QPushButton *cmdOpen = nullptr;
    QPushButton *cmdFollow = nullptr;
    QPushButton *cmdFit = nullptr;
    QPushButton *cmdExport = nullptr;
    QLabel *lblCursor = nullptr;
    QLabel *lblStatus = nullptr;
    QProgressBar *prgLoad = nullptr;
    QPushButton *cmdCancel = nullptr;
    QMenuBar *menuBar = nullptr;
    QComboBox *cmbUnit = nullptr;
    QWidget *statsPanel = nullptr;
    QLabel *lblRange = nullptr;
    QLineEdit *txtThreshold = nullptr;
    QTableWidget *tblStats = nullptr;
    QPushButton *cmdCopyStats = nullptr;
    QPushButton *cmdExportStats = nullptr;
    QLabel *lblCursors = nullptr;

signals:
    void closed();
    void followRequested();
    // A log has been read whole (or its reading ended): what it holds is shown.
    void loaded();

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // frmhistoryplot.cpp: the plot and what is drawn on it.
    void createPlot();
    void appendLive(const LogRecord &record);
    // Draws what the readings just added changed: the lines alone, or all of the plot.
    void redraw();
    void refreshLines();
    void fitValues();
    void showCursor(double x);
    void toggleSeries(int channel);
    // frmhistoryanalysis.cpp
    void createAnalysis();
    void contextMenu(QPoint at);
    void updateStatistics();
    void updateCursors();
    void loadMarkers();
    void drawMarkers();
    void applyChannelNames();
    void compareLoaded(const std::shared_ptr<LoadedLog> &log);
    void refreshComparison(double from, double to, int columns);
    QString unitText() const;
    // "Ch1", or "Ch1 top shelf" for a named channel, for each of the six.
    QStringList channelLabels() const;
    QString comparisonText() const;
    // Arrows, Page keys, + and -, Home and End move and zoom in time; false for other keys.
    bool keyMovesView(int key);

    // frmhistory.cpp: where the records come from, and what the window says about them.
    void startOver();
    void take(const LogRecord &record);
    // Reads a whole log, at once or on the loader's thread; following says whether it is the
    // current log (Live) or one the user opened.
    void load(const QString &fileName, bool following);
    void loadProgress(qint64 done, qint64 total);
    void loadFinished(const std::shared_ptr<LoadedLog> &log);
    // Reads what the file gained since, as live records. Says in m_problem when the file is
    // gone or cannot be read, and reads it anew when it became shorter.
    void readFile();
    void pollFile();
    void afterLoad();
    void updateStatus();

    HistoryData m_data;
    std::unique_ptr<LogReader> m_reader;
    std::unique_ptr<LogTail> m_tail;
    LogLoader m_loader;
    bool m_opened = false;      // the user opened the log being read: say what is wrong with it
    QString m_loadNote;         // said once the log being read is shown
    const SampleBuffer *m_memory = nullptr;
    qsizetype m_memoryLimit = 0;
    bool m_following = true;
    bool m_valueZoomed = false;
    bool m_adjusting = false;   // the window sets the value range itself: no user zoom
    bool m_extending = false;   // the window sets the time range and draws the lines itself
    int m_linesColumns = 0;     // the plot's width the lines were worked out for
    // The lines of the whole log the loader worked out, for the first picture at that width.
    int m_preparedColumns = 0;
    std::array<PlotLine, historyChannels> m_preparedLines;
    qsizetype m_appended = 0;   // points added to the lines since they were last worked out
    bool m_linesOnly = false;   // only the lines changed since the last redraw
    QString m_problem;          // what went wrong with the file, for the status line
    QTimer m_poll;
    QCPItemStraightLine *m_cursorLine = nullptr;
    std::unique_ptr<SaveFileDialog> m_exportDialog;

    std::optional<std::pair<double, double>> m_range;
    std::optional<double> m_selectFrom;  // Shift held down and dragging from here
    RangeStats m_stats;
    std::array<std::optional<double>, 2> m_cursors;
    CursorDelta m_delta;
    QCPItemRect *m_rangeShade = nullptr;
    std::array<QCPItemStraightLine *, 2> m_cursorLines{};
    QList<Marker> m_markers;
    QList<QCPItemStraightLine *> m_markerLines;
    QList<QCPItemText *> m_markerTexts;
    QStringList m_channelNames;
    HistoryData m_compare;
    QString m_compareFile;
    QList<Marker> m_compareMarkers;
    QString m_alignedOn;        // the marker's note, or "" for the runs' starts
    double m_compareShift = 0;  // added to the comparison's times
    LogLoader m_compareLoader;
    QMenu *mnuAlign = nullptr;
};

// The unit letter's name, as the value axis shows it.
QString historyUnitName(char unit);

} // namespace tervalo
