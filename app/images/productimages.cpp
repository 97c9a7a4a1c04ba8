#include "app/images/productimages.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <mutex>

// The icon files are compiled into the static library, where nothing refers to them by name;
// without this the linker would leave them out of the program. Q_INIT_RESOURCE must be used
// outside any namespace.
static void initShellResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace tervalo {

namespace {

const QColor glassOutline(0x4a, 0x4a, 0x4a);
const QColor badgeRing(0x1f, 0x3f, 0x66);
const QColor makerRed(0x8b, 0x1a, 0x1a);

QPixmap transparentPixmap(QSize size)
{
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// The pale, ringed disc behind the thermometer, centred in the box.
void paintCircle(QPainter &painter, const QRectF &box)
{
    const qreal side = qMin(box.width(), box.height());
    const QRectF circle(box.center() - QPointF(side / 2, side / 2), QSizeF(side, side));
    const qreal ring = qMax(1.0, side * 0.045);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QRadialGradient fill(circle.center() - QPointF(side * 0.15, side * 0.2), side * 0.7);
    fill.setColorAt(0.0, Qt::white);
    fill.setColorAt(0.6, QColor(0xcf, 0xe0, 0xf2));
    fill.setColorAt(1.0, QColor(0x9d, 0xba, 0xd9));
    painter.setPen(QPen(badgeRing, ring));
    painter.setBrush(fill);
    painter.drawEllipse(circle.adjusted(ring / 2, ring / 2, -ring / 2, -ring / 2));
    painter.restore();
}

} // namespace

namespace {

// The glass's half width and the bulb's radius on the 100 x 200 grid the thermometer is drawn
// on. Small icons need a stouter glass to stay readable; the splash window's tall picture
// takes a slimmer one so the circle behind it still shows.
struct Build
{
    qreal halfWidth;
    qreal bulbRadius;
};
constexpr Build regular{16, 32};
constexpr Build stout{22, 38};
constexpr Build slim{12, 26};

void paintThermometerShape(QPainter &painter, const QRectF &bounds, const Build &build)
{
    // Drawn on a 100 x 200 grid and scaled to fit, so the picture keeps its proportions whatever
    // box it is given.
    const qreal scale = qMin(bounds.width() / 100.0, bounds.height() / 200.0);
    if (scale <= 0)
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(bounds.center());
    painter.scale(scale, scale);
    painter.translate(-50, -100);

    const qreal hw = build.halfWidth;
    const qreal br = build.bulbRadius;
    const QPointF bulbCentre(50, 198 - br);
    QPainterPath glass;
    glass.addRoundedRect(QRectF(50 - hw, 4, 2 * hw, bulbCentre.y() - 4), hw, hw);
    QPainterPath bulb;
    bulb.addEllipse(bulbCentre, br, br);
    glass = glass.united(bulb);

    QLinearGradient glassFill(50 - br, 0, 50 + br, 0);
    glassFill.setColorAt(0.0, QColor(0xe6, 0xee, 0xf5));
    glassFill.setColorAt(0.4, Qt::white);
    glassFill.setColorAt(1.0, QColor(0xd4, 0xde, 0xe8));
    // An outline thinner than a pixel vanishes in the small icons.
    painter.setPen(QPen(glassOutline, qMax(4.0, 1.0 / scale)));
    painter.setBrush(glassFill);
    painter.drawPath(glass);

    const qreal columnHalf = hw - 8;
    const qreal innerRadius = br - 9;
    QPainterPath mercury;
    mercury.addRoundedRect(QRectF(50 - columnHalf, 50, 2 * columnHalf, bulbCentre.y() - 50),
                           columnHalf, columnHalf);
    QPainterPath mercuryBulb;
    mercuryBulb.addEllipse(bulbCentre, innerRadius, innerRadius);
    mercury = mercury.united(mercuryBulb);
    QLinearGradient red(50 - innerRadius, 0, 50 + innerRadius, 0);
    red.setColorAt(0.0, QColor(0x8e, 0x0c, 0x0c));
    red.setColorAt(0.45, QColor(0xe8, 0x32, 0x2e));
    red.setColorAt(1.0, QColor(0xa8, 0x12, 0x12));
    painter.setPen(Qt::NoPen);
    painter.setBrush(red);
    painter.drawPath(mercury);

    painter.setBrush(QColor(255, 255, 255, 150));
    painter.drawEllipse(QRectF(50 - innerRadius * 0.6, bulbCentre.y() - innerRadius * 0.6,
                               innerRadius * 0.45, innerRadius * 0.65));

    // The scale marks only blur an icon a few pixels high.
    if (scale >= 0.2) {
        painter.setPen(QPen(glassOutline, 3, Qt::SolidLine, Qt::FlatCap));
        const qreal from = 50 + hw + 4;
        for (int i = 0; i <= 10; ++i) {
            const qreal y = 20 + 12 * i;
            painter.drawLine(QPointF(from, y), QPointF(from + (i % 2 == 0 ? 12 : 7), y));
        }
    }
    painter.restore();
}

} // namespace

void paintThermometer(QPainter &painter, const QRectF &bounds)
{
    const qreal scale = qMin(bounds.width() / 100.0, bounds.height() / 200.0);
    paintThermometerShape(painter, bounds, scale < 0.3 ? stout : regular);
}

void paintThermometerBadge(QPainter &painter, const QRectF &square)
{
    const qreal side = qMin(square.width(), square.height());
    const QRectF box(square.center() - QPointF(side / 2, side / 2), QSizeF(side, side));
    paintCircle(painter, box);
    paintThermometer(painter, QRectF(box.center().x() - side * 0.21, box.top() + side * 0.09,
                                     side * 0.42, side * 0.82));
}

QIcon productIcon()
{
    static std::once_flag resources;
    std::call_once(resources, initShellResources);
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/images/tervalo-%1.png").arg(size), QSize(size, size));
    return icon;
}

QPixmap thermometerPixmap(QSize size)
{
    QPixmap pixmap = transparentPixmap(size);
    QPainter painter(&pixmap);
    paintThermometer(painter, QRectF(QPointF(0, 0), size));
    return pixmap;
}

QPixmap thermometerInCirclePixmap(QSize size)
{
    QPixmap pixmap = transparentPixmap(size);
    QPainter painter(&pixmap);
    const QRectF all(QPointF(0, 0), size);
    paintCircle(painter, all);
    paintThermometerShape(painter, all, slim);
    return pixmap;
}

QPixmap makerLogoPixmap(QSize size)
{
    QPixmap pixmap(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QRectF all(QPointF(0, 0), size);
    QLinearGradient background(0, 0, 0, size.height());
    background.setColorAt(0.0, Qt::white);
    background.setColorAt(1.0, QColor(0xe4, 0xec, 0xf5));
    painter.fillRect(all, background);

    const qreal margin = size.height() * 0.08;
    const qreal side = size.height() - 2 * margin;
    paintThermometerBadge(painter, QRectF(margin, margin, side, side));

    // The name takes what is left beside the badge, in the largest size that fits.
    const QRectF textArea(2 * margin + side, margin, size.width() - 3 * margin - side, side);
    QFont name;
    name.setFamilies({QStringLiteral("Liberation Serif"), QStringLiteral("Times New Roman"),
                      QStringLiteral("DejaVu Serif")});
    name.setBold(true);
    name.setItalic(true);
    name.setPixelSize(qMax(8, int(side * 0.42)));
    const QString maker = QStringLiteral("Quillmar.");
    while (name.pixelSize() > 8 && QFontMetricsF(name).horizontalAdvance(maker) > textArea.width())
        name.setPixelSize(name.pixelSize() - 1);
    QFont tagline;
    tagline.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                         QStringLiteral("DejaVu Sans")});
    tagline.setPixelSize(qMax(6, name.pixelSize() / 3));
    const QString motto = QStringLiteral("Thermocouple instruments");
    while (tagline.pixelSize() > 6 &&
           QFontMetricsF(tagline).horizontalAdvance(motto) > textArea.width())
        tagline.setPixelSize(tagline.pixelSize() - 1);

    const qreal nameHeight = QFontMetricsF(name).height();
    const qreal ruleY = textArea.center().y() + nameHeight * 0.25;
    painter.setFont(name);
    painter.setPen(makerRed);
    painter.drawText(QRectF(textArea.left(), ruleY - nameHeight, textArea.width(), nameHeight),
                     Qt::AlignLeft | Qt::AlignBottom, maker);
    painter.setPen(QPen(badgeRing, qMax(1.0, size.height() / 60.0)));
    painter.drawLine(QPointF(textArea.left(), ruleY + 2), QPointF(textArea.right(), ruleY + 2));
    painter.setFont(tagline);
    painter.drawText(QRectF(textArea.left(), ruleY + 5, textArea.width(),
                            QFontMetricsF(tagline).height()),
                     Qt::AlignLeft | Qt::AlignTop, motto);
    return pixmap;
}

} // namespace tervalo
