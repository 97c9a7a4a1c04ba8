#pragma once

#include "output/graphhistory.h"

#include <QWidget>

#include <array>
#include <functional>
#include <memory>

class QAction;
class QChartView;
class QLineSeries;
class QPushButton;
class QValueAxis;

namespace tervalo {

class GraphPrinter;
class SaveFileDialog;

// The graph window: the last 50 readings of the six channels, printable. It is a window of its
// own, not a child of the main window; closing it deletes it, and the next opening builds a
// fresh one.
class frmGraph : public QWidget
{
    Q_OBJECT
public:
    frmGraph();
    ~frmGraph() override;

    void cmdPrint_Click();
    void cmdExit_Click();
    // The chart's context menu: saves the chart as a PNG picture or a PDF page.
    void mnuSaveImage_Click();

    // The chart settings that the main window's side makes.
    void labelSeries();
    void setValueAxisTitle(const QString &title);
    void showLegend();
    void setData(const GraphData &data);

    // What printing needs from the acquisition: switching the sampling timer, and whether a
    // continuous run is going on. Unset, they do nothing.
    std::function<void(bool)> enableCommTimer;
    std::function<bool()> continuousFlag;

    // Seams for the printer, the save dialog and message boxes, so that nothing in a test
    // prints on paper or waits for a click.
    void setPrinter(std::unique_ptr<GraphPrinter> printer);
    void setImageDialog(std::unique_ptr<SaveFileDialog> dialog);
    std::function<void(const QString &)> showMessage;

    // The window as it is shown, chart and buttons, at three times the screen's resolution so
    // that a printed page stays sharp.
    QImage windowImage();

    QChartView *graphTemp = nullptr;
    QPushButton *cmdPrint = nullptr;
    QPushButton *cmdExit = nullptr;
    QAction *mnuSaveImage = nullptr;
    std::array<QLineSeries *, graphChannels> series{};
    QValueAxis *axisX = nullptr;
    QValueAxis *axisY = nullptr;

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    std::unique_ptr<GraphPrinter> m_printer;
    std::unique_ptr<SaveFileDialog> m_imageDialog;
};

} // namespace tervalo
