#include "app/etchedframe.h"

#include <QPainter>
#include <QStyle>

namespace tervalo {

namespace {
// The caption starts a little in from the frame's left edge, with a pixel of space on either
// side where the line stops.
constexpr int captionIndent = 6;
constexpr int captionGap = 2;
} // namespace

int EtchedFrame::topLine() const
{
    return title().isEmpty() ? 0 : fontMetrics().height() / 2;
}

QRect EtchedFrame::captionRect() const
{
    if (title().isEmpty())
        return {};
    const QFontMetrics metrics = fontMetrics();
    const int width = metrics.horizontalAdvance(QString(title()).remove(QLatin1Char('&')));
    return {captionIndent, 0, width + 2 * captionGap, metrics.height()};
}

void EtchedFrame::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    // Two rectangles a pixel apart, the shadow's up and to the left of the light's: a groove.
    const QRect groove = rect().adjusted(0, topLine(), -1, -1);
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawRect(groove.adjusted(0, 0, -1, -1));
    painter.setPen(palette().color(QPalette::Light));
    painter.drawRect(groove.adjusted(1, 1, 0, 0));

    const QRect caption = captionRect();
    if (caption.isEmpty())
        return;
    painter.fillRect(caption, palette().brush(QPalette::Window));
    style()->drawItemText(&painter, caption, Qt::AlignCenter | Qt::TextShowMnemonic, palette(),
                          isEnabled(), title(), QPalette::WindowText);
}

} // namespace tervalo
