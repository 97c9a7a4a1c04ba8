#pragma once

#include <QRect>

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

} // namespace tervalo
