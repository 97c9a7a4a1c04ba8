#include "app/frmsplash.h"

#include "app/images/productimages.h"
#include "common/twips.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <qdrawutil.h>

#include <utility>

namespace tervalo {

namespace {

// The fixed dialog border drawn round the client area, which is sized exactly as laid out.
constexpr int borderWidth = 2;

// Sizes in points at 96 dots per inch, so every caption fits its label as the layout was drawn,
// whatever the screen claims.
QFont arial(qreal points, bool bold = false)
{
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(qRound(points * 96.0 / 72.0));
    font.setBold(bold);
    return font;
}

QLabel *label(QWidget *parent, const char *name, const QRect &rect, const QString &text,
              const QFont &font)
{
    auto *control = new QLabel(text, parent);
    control->setObjectName(QString::fromLatin1(name));
    control->setTextFormat(Qt::PlainText);
    control->setFont(font);
    control->setGeometry(rect);
    return control;
}

// An auto-sized label grows or shrinks to its caption. A right-aligned one keeps its right edge,
// so the version and the platforms line up under each other whatever their length.
void autoSize(QLabel *control)
{
    const QSize fit = control->sizeHint();
    QRect rect = control->geometry();
    if (control->alignment() & Qt::AlignRight)
        rect.setLeft(rect.right() + 1 - fit.width());
    else
        rect.setWidth(fit.width());
    rect.setHeight(fit.height());
    control->setGeometry(rect);
}

// Keys that type a character end the splash; keys that only move, switch or modify do not. A
// held Alt makes a menu accelerator of a letter, never a character.
bool producesCharacter(const QKeyEvent *event)
{
    return !event->text().isEmpty() && event->key() != Qt::Key_Delete &&
           !(event->modifiers() & Qt::AltModifier);
}

} // namespace

QString versionCaption(int major, int minor, int revision)
{
    return QStringLiteral("Version %1.%2.%3").arg(major).arg(minor).arg(revision);
}

QString platformCaption()
{
    return QStringLiteral("Windows, Linux");
}

frmSplash::frmSplash(std::function<void()> showMain, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), m_showMain(std::move(showMain))
{
    setObjectName(QStringLiteral("frmSplash"));
    setWindowTitle(QStringLiteral("Tervalo"));
    setWindowIcon(productIcon());
    // The window itself takes the keyboard: none of its controls can.
    setFocusPolicy(Qt::StrongFocus);

    const QRect clientRect = twipsRect(0, 0, 7320, 4245);
    setFixedSize(clientRect.width() + 2 * borderWidth, clientRect.height() + 2 * borderWidth);
    client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setGeometry(clientRect.translated(borderWidth, borderWidth));

    Frame1 = new QGroupBox(client);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twipsRect(120, 0, 7080, 4170));

    Picture1 = new QLabel(Frame1);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setGeometry(twipsRect(840, 1320, 975, 1935));
    Picture1->setPixmap(thermometerInCirclePixmap(Picture1->size()));

    lblCompanyProduct = label(Frame1, "lblCompanyProduct", twipsRect(1425, 480, 4470, 360),
                              QStringLiteral("Quillmar."), arial(15.75, true));
    autoSize(lblCompanyProduct);
    Label1 = label(Frame1, "Label1", twipsRect(2400, 1440, 1935, 495), QStringLiteral("Tervalo"),
                   arial(18, true));
    Label2 = label(Frame1, "Label2", twipsRect(3120, 1920, 3615, 375),
                   QStringLiteral("For Maravex and Maravex-DAQ"), arial(12));
    lblVersion = label(Frame1, "lblVersion", twipsRect(5835, 2640, 810, 270),
                       QStringLiteral("Version"), arial(11.25, true));
    lblVersion->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    autoSize(lblVersion);
    lblPlatform = label(Frame1, "lblPlatform", twipsRect(4080, 3000, 2685, 285), platformCaption(),
                        arial(12, true));
    lblPlatform->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    autoSize(lblPlatform);
    lblCopyright = label(Frame1, "lblCopyright", twipsRect(120, 3840, 5175, 255),
                         QStringLiteral("Copyright \u00a9 2026 Quillmar. All rights reserved."),
                         arial(8.25));

    tmrSplash = new QTimer(this);
    tmrSplash->setObjectName(QStringLiteral("tmrSplash"));
    tmrSplash->setInterval(3000);
    connect(tmrSplash, &QTimer::timeout, this, &frmSplash::tmrSplash_Timer);

    // Key preview: the splash sees every key press, whichever of its widgets would get it.
    qApp->installEventFilter(this);
}

frmSplash::~frmSplash()
{
    qApp->removeEventFilter(this);
}

void frmSplash::Form_Load()
{
    lblVersion->setText(
        versionCaption(TERVALO_VERSION_MAJOR, TERVALO_VERSION_MINOR, TERVALO_VERSION_PATCH));
    autoSize(lblVersion);

    centreOnScreen(this, screen());

    tmrSplash->start();
}

void frmSplash::tmrSplash_Timer()
{
    endSplash();
}

void frmSplash::Form_KeyPress(QChar)
{
    endSplash();
}

void frmSplash::endSplash()
{
    // A key press and the timer may both arrive before the splash is gone; the main window is
    // shown once only.
    if (m_ended)
        return;
    m_ended = true;
    tmrSplash->stop();
    close();
    deleteLater();
    // Taken out first: whatever the main window's start-up does, this cannot run again.
    const std::function<void()> showMain = std::exchange(m_showMain, nullptr);
    if (showMain)
        showMain();
}

bool frmSplash::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && !m_ended && watched->isWidgetType()) {
        auto *widget = static_cast<QWidget *>(watched);
        auto *key = static_cast<QKeyEvent *>(event);
        if ((widget == this || isAncestorOf(widget)) && producesCharacter(key)) {
            Form_KeyPress(key->text().at(0));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void frmSplash::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    qDrawWinPanel(&painter, rect(), palette(), false);
}

void frmSplash::closeEvent(QCloseEvent *event)
{
    // Closed from outside (the window manager): like unloading the start-up form, this ends the
    // program rather than bringing the main window up later.
    if (!m_ended) {
        m_ended = true;
        tmrSplash->stop();
        m_showMain = nullptr;
        // No window is left and none will come, so nothing else would end the process.
        if (endProgram)
            endProgram();
    }
    QWidget::closeEvent(event);
}

} // namespace tervalo
