#pragma once

#include "common/channelcount.h"

#include <QColor>

#include <array>

namespace tervalo {

// Six clearly different colours, one for each channel, the same on screen and on paper, in the
// graph window and the history window alike.
inline const std::array<QColor, channelCount> seriesColours = {
    QColor(0x1f, 0x77, 0xb4), QColor(0xff, 0x7f, 0x0e), QColor(0x2c, 0xa0, 0x2c),
    QColor(0xd6, 0x27, 0x28), QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b)};

} // namespace tervalo
