#pragma once

#include "common/channelcount.h"

#include <QtGlobal>

#include <array>

namespace tervalo {

inline constexpr int graphPoints = 50;
inline constexpr int graphChannels = channelCount;

// The plotted history: [point][channel], point 0 the oldest, point 49 the newest.
using GraphData = std::array<std::array<qint16, graphChannels>, graphPoints>;

// Adds one reading as the newest point; the oldest drops out at the other end.
inline void pushReading(GraphData &data, const std::array<qint16, graphChannels> &reading)
{
    for (int c = 0; c < graphChannels; ++c) {
        for (int i = 0; i + 1 < graphPoints; ++i)
            data[i][c] = data[i + 1][c];
        data[graphPoints - 1][c] = reading[c];
    }
}

} // namespace tervalo
