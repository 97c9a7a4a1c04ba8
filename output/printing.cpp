#include "output/printing.h"

#include <QImage>
#include <QPageLayout>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

#ifdef TERVALO_HAVE_CUPS
#include <QDir>
#include <QTemporaryFile>

#include <cups/cups.h>

#include <memory>
#endif

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

namespace {

QString noPrinterInstalled()
{
    return QStringLiteral("No printer is installed, so the graph cannot be printed. "
                          "Add a printer in the system settings, then print again.");
}

QString noDefaultPrinter()
{
    return QStringLiteral("No printer is set as the default, so the graph cannot be printed. "
                          "Choose a default printer in the system settings, then print again.");
}

QString notPrinted(const QString &printer)
{
    return QStringLiteral("The graph could not be printed on %1.").arg(printer);
}

} // namespace

#ifdef TERVALO_HAVE_CUPS

// Qt hands a finished page to CUPS and forgets the answer: a queue that refuses the job, or a
// print service that has gone away, would look like a print that worked. So the page is laid
// out by Qt for the default printer but sent to CUPS here, where the answer can be read.
namespace {

// Long enough for a print server elsewhere on the network, short enough that the readings,
// paused for the print, are not held up for long by one that is gone.
constexpr int connectTimeoutMs = 10000;

QString serviceUnreachable()
{
    // Not only the default printer is out of reach: every printer is.
    return QStringLiteral("No printer can be used: the print service cannot be reached, so the "
                          "graph cannot be printed. Check that the print service (CUPS) is "
                          "running, then print again.");
}

QString notAcceptingJobs(const QString &printer)
{
    return QStringLiteral("The printer %1 is not accepting jobs, so the graph cannot be printed. "
                          "Let it accept jobs again in the system's printer settings, then print "
                          "again.")
        .arg(printer);
}

QString stopped(const QString &printer)
{
    return QStringLiteral("The printer %1 is stopped, so the graph cannot be printed. Resume it "
                          "in the system's printer settings, then print again.")
        .arg(printer);
}

// What CUPS's last answer means for the user, after it turned down the print on the printer.
QString refusal(const QString &printer)
{
    switch (cupsLastError()) {
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
        return serviceUnreachable();
    case IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS:
        return notAcceptingJobs(printer);
    case IPP_STATUS_ERROR_NOT_FOUND:
        // The printer went away between the look-up and the print.
        return noDefaultPrinter();
    default:
        return QStringLiteral("The graph could not be printed on %1: %2")
            .arg(printer, QString::fromUtf8(cupsLastErrorString()));
    }
}

struct CloseHttp
{
    void operator()(http_t *http) const { httpClose(http); }
};

struct FreeDest
{
    void operator()(cups_dest_t *dest) const { cupsFreeDests(1, dest); }
};

} // namespace

bool SystemGraphPrinter::print(const QImage &image, QString &failure)
{
    // Connecting first is what tells a print service that is down from one without a default
    // printer: asked for the default, CUPS gives the same answer for both.
    const std::unique_ptr<http_t, CloseHttp> http(httpConnect2(cupsServer(), ippPort(), nullptr,
                                                               AF_UNSPEC, cupsEncryption(), 1,
                                                               connectTimeoutMs, nullptr));
    if (!http) {
        failure = serviceUnreachable();
        return false;
    }
    const std::unique_ptr<cups_dest_t, FreeDest> dest(
        cupsGetNamedDest(http.get(), nullptr, nullptr));
    if (!dest) {
        cups_dest_t *dests = nullptr;
        const int count = cupsGetDests2(http.get(), &dests);
        cupsFreeDests(count, dests);
        if (count == 0 && cupsLastError() == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE)
            failure = serviceUnreachable();
        else
            failure = count == 0 ? noPrinterInstalled() : noDefaultPrinter();
        return false;
    }
    const QString name = QString::fromLocal8Bit(dest->name);
    const auto option = [&dest](const char *key) {
        return QByteArray(cupsGetOption(key, dest->num_options, dest->options));
    };
    if (option("printer-is-accepting-jobs") == "false") {
        failure = notAcceptingJobs(name);
        return false;
    }
    // A stopped queue would take the job and keep it, unprinted, until someone resumes it.
    if (option("printer-state") == QByteArray::number(IPP_PSTATE_STOPPED)) {
        failure = stopped(name);
        return false;
    }

    // Qt's print engine for the printer, told to write to a file, lays the page out for the
    // printer's paper but leaves the sending to us. The name must not end in ".pdf": that
    // would switch Qt to its plain PDF writer, which knows nothing of the printer.
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/tervalo-graph-XXXXXX"));
    if (!file.open()) {
        failure = notPrinted(name);
        return false;
    }
    file.close();
    const QPrinterInfo info = QPrinterInfo::printerInfo(
        dest->instance ? name + u'/' + QString::fromLocal8Bit(dest->instance) : name);
    QPrinter printer(info, QPrinter::HighResolution);
    printer.setOutputFileName(file.fileName());
    if (!paintOnPage(printer, image)) {
        failure = notPrinted(name);
        return false;
    }

    // The options Qt itself gives CUPS with a page: its paper, and its orientation.
    const QPageLayout layout = printer.pageLayout();
    cups_option_t *options = nullptr;
    int optionCount = 0;
    const QByteArray media = layout.pageSize().key().toUtf8();
    if (!media.isEmpty())
        optionCount = cupsAddOption("media", media.constData(), optionCount, &options);
    if (layout.orientation() == QPageLayout::Landscape)
        optionCount = cupsAddOption("landscape", "", optionCount, &options);
    const int job =
        cupsPrintFile2(http.get(), dest->name, QFile::encodeName(file.fileName()).constData(),
                       "Tervalo Graph", optionCount, options);
    cupsFreeOptions(optionCount, options);
    if (job == 0) {
        failure = refusal(name);
        return false;
    }
    return true;
}

#else

bool SystemGraphPrinter::print(const QImage &image, QString &failure)
{
    const QPrinterInfo info = QPrinterInfo::defaultPrinter();
    if (info.isNull()) {
        failure =
            QPrinterInfo::availablePrinters().isEmpty() ? noPrinterInstalled() : noDefaultPrinter();
        return false;
    }
    QPrinter printer(info, QPrinter::HighResolution);
    if (!printer.isValid() || !paintOnPage(printer, image)) {
        failure = notPrinted(info.printerName());
        return false;
    }
    return true;
}

#endif

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
