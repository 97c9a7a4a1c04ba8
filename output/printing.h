#pragma once

#include <QString>

class QImage;
class QPrinter;

namespace tervalo {

// Where a printed graph goes. The window prints through this seam, so a test can print to a file
// instead of a real printer.
class GraphPrinter
{
public:
    virtual ~GraphPrinter();
    // Puts the image on one page. On failure, returns false and says why, for the user.
    virtual bool print(const QImage &image, QString &failure) = 0;
};

// The system's default printer.
class SystemGraphPrinter : public GraphPrinter
{
public:
    bool print(const QImage &image, QString &failure) override;
};

// A PDF file: the same page as on paper.
class PdfGraphPrinter : public GraphPrinter
{
public:
    explicit PdfGraphPrinter(const QString &fileName) : m_fileName(fileName) {}
    bool print(const QImage &image, QString &failure) override;

private:
    QString m_fileName;
};

// Draws the image on one page of the printer, as large as the page allows without distorting it,
// turning the page to the image's orientation. False when the printer could not be started.
bool paintOnPage(QPrinter &printer, const QImage &image);

} // namespace tervalo
