#pragma once

#include <QRect>
#include <QScreen>
#include <QWidget>

namespace tervalo {

// Window layouts are drawn in twips, 15 to a pixel at 96 dots per inch.
inline constexpr int twipsPerPixel = 15;

inline int twipsToPixels(int twips)
{
    return (twips >= 0 ? twips + twipsPerPixel / 2 : twips - twipsPerPixel / 2) / twipsPerPixel;
}

inline QRect twipsRect(int left, int top, int width, int height)
{
    return {twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height)};
}

// Puts a window in the middle of the screen, the way the layouts reckon it: in twips, rounded to
// the pixel. The splash window and the about box open this way.
inline void centreOnScreen(QWidget *window, const QScreen *screen)
{
    if (!screen)
        return;
    const QRect area = screen->geometry();
    const double left = (double(area.width()) * twipsPerPixel - double(window->width()) * twipsPerPixel) / 2;
    const double top = (double(area.height()) * twipsPerPixel - double(window->height()) * twipsPerPixel) / 2;
    window->move(area.x() + qRound(left / twipsPerPixel), area.y() + qRound(top / twipsPerPixel));
}

} // namespace tervalo
