#pragma once

#include <QIcon>
#include <QPixmap>
#include <QRectF>
#include <QSize>

class QPainter;

namespace tervalo {

// The product icon: a red thermometer in a circle, the same in every window's title bar.
QIcon productIcon();

// A thermometer alone on a transparent background, as large as fits the size; the main window
// shows it at 41 x 80 pixels.
QPixmap thermometerPixmap(QSize size);

// The splash window's picture: a circle across the width with the thermometer standing through it
// over the whole height.
QPixmap thermometerInCirclePixmap(QSize size);

// The maker's logo of the about box: the thermometer badge beside the maker's name.
QPixmap makerLogoPixmap(QSize size);

// The drawings themselves, for anything that needs them at another size or on another device.
void paintThermometer(QPainter &painter, const QRectF &bounds);
void paintThermometerBadge(QPainter &painter, const QRectF &square);

} // namespace tervalo
