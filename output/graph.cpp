#include "output/graph.h"

#include "common/cardrules.h"
#include "device/cardreading.h"
#include "output/frmgraph.h"

namespace tervalo {

GraphPlot::GraphPlot(QObject *parent) : QObject(parent) {}

GraphPlot::~GraphPlot()
{
    delete m_window;
}

bool GraphPlot::graphVisible() const
{
    return m_window && m_window->isVisible();
}

void GraphPlot::cmdGraph_Click()
{
    if (graphVisible())
        return;
    if (!m_window) {
        m_window = new frmGraph;
        // The window may outlive this side for a moment at the program's end; it asks through a
        // guarded pointer and the hooks as they are at the time of the print.
        const QPointer<GraphPlot> self(this);
        m_window->enableCommTimer = [self](bool on) {
            if (self)
                emit self->commTimerEnabled(on);
        };
        m_window->continuousFlag = [self] {
            return self && self->m_hooks.continuousFlag && self->m_hooks.continuousFlag();
        };
        // A closed window is on its way to deletion; forget it now, so that opening the graph
        // again at once builds a new one.
        connect(m_window, &frmGraph::closed, this, [this] { m_window = nullptr; });
    }
    initGraph();
    m_window->show();
}

void GraphPlot::mnuGraph_Click()
{
    cmdGraph_Click();
}

void GraphPlot::initGraph()
{
    graphData = GraphData{};
    if (!m_window)
        return;
    const QString unit = m_hooks.unitName ? m_hooks.unitName() : unitName(QStringLiteral("r"));
    m_window->labelSeries();
    m_window->setValueAxisTitle(QStringLiteral("Temperature ") + unit);
    m_window->showLegend();
    m_window->setData(graphData);
}

void GraphPlot::readingTaken(const CardReading &reading)
{
    // A failed answer is plotted too, as six zeros, so the gap shows where it happened.
    if (graphVisible())
        updateGraph(reading.values());
}

void GraphPlot::updateGraph(const std::array<qint16, graphChannels> &channelValue)
{
    pushReading(graphData, channelValue);
    if (m_window)
        m_window->setData(graphData);
}

} // namespace tervalo
