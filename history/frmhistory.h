#pragma once

#include "common/logrecord.h"
#include "history/historydata.h"
#include "history/logsource.h"

#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

class QCustomPlot;
class QCPItemStraightLine;
class QLabel;
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

    // A reading was taken: what the history keeps of it, and the log file it went to ("" when
    // nothing is logged). While a log is followed the reading is read from the file instead.
    void readingTaken(const HistorySample &sample, const QString &logFile);

    void cmdOpen_Click();
    void cmdFollow_Click();
    void cmdFit_Click();
    void cmdExport_Click();
    // Writes the records of the visible range as the log holds them (the readings in memory as
    // sampleRecord writes them); false when it could not.
    bool exportCsv(const QString &fileName);

    // Seams for the dialogs, so that nothing in a test waits for a click.
    std::function<QString()> chooseLog;
    void setExportDialog(std::unique_ptr<SaveFileDialog> dialog);
    std::function<void(const QString &)> showMessage;

    const HistoryData &data() const { return m_data; }

    QCustomPlot *plot = nullptr;
    QPushButton *cmdOpen = nullptr;
    QPushButton *cmdFollow = nullptr;
    QPushButton *cmdFit = nullptr;
    QPushButton *cmdExport = nullptr;
    QLabel *lblCursor = nullptr;
    QLabel *lblStatus = nullptr;

signals:
    void closed();
    void followRequested();

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

    // frmhistory.cpp: where the records come from, and what the window says about them.
    void startOver();
    void take(const LogRecord &record);
    // Reads what the file gained: all of it at first, then as live records. Says in m_problem
    // when the file is gone, cannot be read or became shorter.
    void readFile(bool first);
    void pollFile();
    void afterLoad();
    void updateStatus();

    HistoryData m_data;
    std::unique_ptr<LogReader> m_reader;
    std::unique_ptr<LogTail> m_tail;
    const SampleBuffer *m_memory = nullptr;
    qsizetype m_memoryLimit = 0;
    bool m_following = true;
    bool m_valueZoomed = false;
    bool m_adjusting = false;   // the window sets the value range itself: no user zoom
    bool m_extending = false;   // the window sets the time range and draws the lines itself
    qsizetype m_appended = 0;   // points added to the lines since they were last worked out
    bool m_linesOnly = false;   // only the lines changed since the last redraw
    QString m_problem;          // what went wrong with the file, for the status line
    QTimer m_poll;
    QCPItemStraightLine *m_cursorLine = nullptr;
    std::unique_ptr<SaveFileDialog> m_exportDialog;
};

// The unit letter's name, as the value axis shows it.
QString historyUnitName(char unit);

} // namespace tervalo
