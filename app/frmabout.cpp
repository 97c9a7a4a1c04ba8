#include "app/frmabout.h"

#include "app/images/productimages.h"
#include "app/sysinfotool.h"
#include "common/twips.h"
#include "common/branding.h"

#include <QDesktopServices>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

namespace tervalo {

QPointer<frmAbout> frmAbout::s_open;

std::function<void(const QUrl &)> frmAbout::openUrl = [](const QUrl &url) {
    // Whether a browser came up is not reported: the address is on the box for the user to type.
    QDesktopServices::openUrl(url);
};

namespace {

// 8.25 points at 96 dots per inch, as the main window: eleven pixels whatever the screen claims,
// so the captions fit their controls as the layout was drawn.
QFont dialogFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans")});
    font.setPixelSize(11);
    return font;
}

QLabel *label(QWidget *parent, const char *name, const QRect &rect, const QString &text = {})
{
    auto *control = new QLabel(text, parent);
    control->setObjectName(QString::fromLatin1(name));
    control->setTextFormat(Qt::PlainText);
    control->setGeometry(rect);
    return control;
}

QFrame *line(QWidget *parent, const char *name, const QRect &rect, const QColor &colour)
{
    auto *control = new QFrame(parent);
    control->setObjectName(QString::fromLatin1(name));
    control->setGeometry(rect);
    control->setAutoFillBackground(true);
    QPalette palette = control->palette();
    palette.setColor(QPalette::Window, colour);
    control->setPalette(palette);
    return control;
}

// The layout was drawn for a narrower system font than the sans-serif fonts found today; a caption
// that needs a few pixels more takes them, up to the next control, rather than being cut.
void widenToFit(QLabel *control, int rightLimit)
{
    const int room = rightLimit - control->x();
    control->resize(qBound(control->width(), control->sizeHint().width(), qMax(control->width(), room)),
                    control->height());
}

} // namespace

frmAbout::frmAbout(QWidget *owner)
    : QDialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_owner(owner)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("Tervalo About"));
    setWindowIcon(productIcon());
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setFont(dialogFont());
    setFixedSize(twipsRect(0, 0, 5880, 4485).size());

    Picture1 = label(this, "Picture1", twipsRect(735, 120, 4335, 1815));
    Picture1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Picture1->setLineWidth(2);
    Picture1->setPixmap(makerLogoPixmap(Picture1->contentsRect().size()));

    Label2 = label(this, "Label2", twipsRect(720, 2040, 4335, 615),
                   QStringLiteral("Tervalo - For use with Quillmar's Maravex (Rev B) Thermocouple "
                                  "Card and Maravex-DAQ Thermocouple Data Acquistion Module."));
    Label2->setWordWrap(true);
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label4 = label(this, "Label4", twipsRect(720, 3000, 855, 255), QStringLiteral("Please visit:"));

    lblHyperlink = label(this, "lblHyperlink", twipsRect(1680, 3000, 2415, 255),
                         QString::fromLatin1(makerUrl));
    QFont link = dialogFont();
    link.setUnderline(true);
    lblHyperlink->setFont(link);
    QPalette blue = lblHyperlink->palette();
    blue.setColor(QPalette::WindowText, QColor(0x00, 0x00, 0xff));
    lblHyperlink->setPalette(blue);
    lblHyperlink->setCursor(Qt::PointingHandCursor);
    lblHyperlink->installEventFilter(this);
    // The address is set when the program is built and may be longer than the layout expected.
    widenToFit(lblHyperlink, width() - twipsToPixels(120));
    widenToFit(Label4, lblHyperlink->x() - 2);

    // The etched separator: a grey line with a white one of double width under it.
    const int separatorY = twipsToPixels(3290);
    const int separatorLeft = twipsToPixels(105);
    const int separatorWidth = width() - 2 * separatorLeft;
    Line1[0] = line(this, "Line1_0", QRect(separatorLeft, separatorY, separatorWidth, 1),
                    QColor(0x80, 0x80, 0x80));
    Line1[1] = line(this, "Line1_1", QRect(separatorLeft, separatorY + 1, separatorWidth, 2),
                    Qt::white);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(twipsRect(4485, 3465, 1260, 345));
    cmdOK->setDefault(true);
    cmdSysInfo = new QPushButton(QStringLiteral("&System Info..."), this);
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    cmdSysInfo->setGeometry(twipsRect(4500, 3915, 1245, 345));
    setTabOrder(cmdOK, cmdSysInfo);

    // Escape rejects the dialog, which closes and deletes it just as OK does.
    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::cmdSysInfo_Click);
}

void frmAbout::showAbout(QWidget *owner)
{
    // A box that was closed but not yet deleted does not count: it would come back without
    // running its load step.
    if (s_open && s_open->isVisible()) {
        s_open->raise();
        s_open->activateWindow();
        return;
    }
    s_open = new frmAbout(owner);
    s_open->Form_Load();
    s_open->show();
}

frmAbout *frmAbout::openBox()
{
    return s_open && s_open->isVisible() ? s_open.data() : nullptr;
}

void frmAbout::Form_Load()
{
    setWindowTitle(QStringLiteral("About ") + QString::fromLatin1(applicationTitle));

    centreOnScreen(this, m_owner ? m_owner->screen() : QGuiApplication::primaryScreen());
    cmdOK->setFocus();
}

void frmAbout::cmdOK_Click()
{
    close();
}

void frmAbout::cmdSysInfo_Click()
{
    StartSysInfo();
}

void frmAbout::lblHyperlink_Click()
{
    openUrl(QUrl(QString::fromLatin1(makerUrl) + QLatin1Char('/')));
}

void frmAbout::StartSysInfo()
{
    startSystemInformationTool(this);
}

bool frmAbout::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lblHyperlink && event->type() == QEvent::MouseButtonRelease) {
        auto *mouse = static_cast<QMouseEvent *>(event);
        // Like a button: the click counts only when released over the link.
        if (mouse->button() == Qt::LeftButton && lblHyperlink->rect().contains(mouse->position().toPoint())) {
            lblHyperlink_Click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace tervalo
