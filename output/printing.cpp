#include "output/printing.h"

#include <QImage>
#include <QPageLayout>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

namespace tervalo {

GraphPrinter::~GraphPrinter() = default;

bool paintOnPage(QPrinter &printer, const QImage &image)
{
    printer.setDocName(QStringLiteral("Tervalo Graph"));
    printer.setCreator(QStringLiteral("Tervalo"));
    printer.setPageOrientation(image.width() > image.height() ? QPageLayout::Landscape
                                                              : QPageLayout::Portrait);
    QPainter painter;
    if (!painter.begin(&printer))
        return false;
    const QRect page = painter.viewport();
    const QSize size = image.size().scaled(page.size(), Qt::KeepAspectRatio);
    const QRect target(page.x() + (page.width() - size.width()) / 2,
                       page.y() + (page.height() - size.height()) / 2, size.width(), size.height());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image);
    return painter.end();
}

bool SystemGraphPrinter::print(const QImage &image, QString &failure)
{
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull()) {
        failure = QPrinterInfo::availablePrinters().isEmpty()
                      ? QStringLiteral("No printer is installed, so the graph cannot be printed. "
                                       "Add a printer in the system settings, then print again.")
                      : QStringLiteral("No printer is set as the default, so the graph cannot be "
                                       "printed. Choose a default printer in the system settings, "
                                       "then print again.");
        return false;
    }
    QPrinter printer(info, QPrinter::HighResolution);
    if (!printer.isValid() || !paintOnPage(printer, image)) {
        failure = QStringLiteral("The graph could not be printed on %1.").arg(info.printerName());
        return false;
    }
    return true;
}

bool PdfGraphPrinter::print(const QImage &image, QString &failure)
{
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(m_fileName);
    if (!paintOnPage(printer, image)) {
        failure = QStringLiteral("The graph could not be saved to %1.").arg(m_fileName);
        return false;
    }
    return true;
}

} // namespace tervalo
