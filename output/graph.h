#pragma once

#include "output/graphhistory.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <array>
#include <functional>

namespace tervalo {

class frmGraph;

struct CardReading;

// What the graph needs from the rest of the main window. Unset hooks give "Raw" and say no
// continuous run.
struct GraphHooks
{
    std::function<QString()> unitName;
    std::function<bool()> continuousFlag;
};

// The main window's side of the graph: it owns the history, opens the graph window and fills it.
class GraphPlot : public QObject
{
    Q_OBJECT
public:
    explicit GraphPlot(QObject *parent = nullptr);
    // An open graph window goes with the main window's side when the program ends.
    ~GraphPlot() override;

    void setHooks(const GraphHooks &hooks) { m_hooks = hooks; }

    void cmdGraph_Click();
    void mnuGraph_Click();
    // Labels the chart, titles its value axis with the current unit and clears the history.
    void initGraph();
    // Adds a reading's values as the newest point.
    void updateGraph(const std::array<qint16, graphChannels> &channelValue);
    // Every reading: plotted while the window is open.
    void readingTaken(const tervalo::CardReading &reading);

    bool graphVisible() const;
    frmGraph *window() const { return m_window; } // null while the window is closed

    GraphData graphData{};

signals:
    // Printing pauses the sampling timer, and starts it again afterwards.
    void commTimerEnabled(bool enabled);

private:
    GraphHooks m_hooks;
    QPointer<frmGraph> m_window;
};

} // namespace tervalo
