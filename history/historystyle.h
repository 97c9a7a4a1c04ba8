#pragma once

#include "common/channelcount.h"

#include <QColor>
#include <qcustomplot.h>

#include <array>

namespace tervalo {

// The history's six channels, told apart by colour and by a mark on the line and in the legend.
// The colours stay distinct for the common colour-vision deficiencies (red-green either way, and
// blue-yellow), and dark enough to read on white paper; the marks tell them apart where colour
// does not (a grey print, a projector).
inline const std::array<QColor, channelCount> historyColours = {
    QColor(0x44, 0x77, 0xaa), QColor(0xee, 0x66, 0x77), QColor(0x99, 0x99, 0x33),
    QColor(0x33, 0x22, 0x88), QColor(0x88, 0x22, 0x55), QColor(0x00, 0x00, 0x00)};

inline const std::array<QCPScatterStyle::ScatterShape, channelCount> historyMarks = {
    QCPScatterStyle::ssCircle, QCPScatterStyle::ssSquare, QCPScatterStyle::ssTriangle,
    QCPScatterStyle::ssDiamond, QCPScatterStyle::ssCross, QCPScatterStyle::ssPlus};

// Lines in logical pixels: on a screen of twice the density a line is two device pixels wide,
// as thick to the eye as on any other.
inline constexpr double historyLineWidth = 1.0;

} // namespace tervalo
