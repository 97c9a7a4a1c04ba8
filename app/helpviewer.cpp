#include "app/helpviewer.h"

#include "app/images/productimages.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QStyle>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace tervalo {

QPointer<frmHelp> frmHelp::s_open;

namespace {

// A browser that answers a link to a missing page of the guide with the window's own page
// instead of an empty view.
class HelpBrowser : public QTextBrowser
{
public:
    using QTextBrowser::QTextBrowser;

    QStringList folders;

protected:
    QVariant loadResource(int type, const QUrl &name) override
    {
        if (type == QTextDocument::HtmlResource && name.isLocalFile() &&
            !QFileInfo(name.toLocalFile()).isFile())
            return frmHelp::notFoundPage(name.fileName(), folders);
        return QTextBrowser::loadResource(type, name);
    }
};

QPushButton *button(QWidget *parent, const char *name, const QString &text, QStyle::StandardPixmap icon)
{
    auto *control = new QPushButton(parent->style()->standardIcon(icon), text, parent);
    control->setObjectName(QString::fromLatin1(name));
    control->setAutoDefault(false);
    return control;
}

} // namespace

frmHelp::frmHelp() : QWidget(nullptr, Qt::Window)
{
    setObjectName(QStringLiteral("frmHelp"));
    setWindowTitle(QStringLiteral("Tervalo Help"));
    setWindowIcon(productIcon());
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(760, 560);

    cmdBack = button(this, "cmdBack", QStringLiteral("&Back"), QStyle::SP_ArrowBack);
    cmdForward = button(this, "cmdForward", QStringLiteral("&Forward"), QStyle::SP_ArrowForward);
    cmdHome = button(this, "cmdHome", QStringLiteral("&Home"), QStyle::SP_DirHomeIcon);
    auto *browserView = new HelpBrowser(this);
    browser = browserView;
    browser->setObjectName(QStringLiteral("browser"));
    // Links to the web go to the user's browser; links between pages stay here.
    browser->setOpenExternalLinks(true);
    cmdBack->setEnabled(false);
    cmdForward->setEnabled(false);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(cmdBack);
    buttons->addWidget(cmdForward);
    buttons->addWidget(cmdHome);
    buttons->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(browser);

    connect(cmdBack, &QPushButton::clicked, browser, &QTextBrowser::backward);
    connect(cmdForward, &QPushButton::clicked, browser, &QTextBrowser::forward);
    connect(cmdHome, &QPushButton::clicked, this, &frmHelp::goHome);
    connect(browser, &QTextBrowser::backwardAvailable, cmdBack, &QPushButton::setEnabled);
    connect(browser, &QTextBrowser::forwardAvailable, cmdForward, &QPushButton::setEnabled);
    connect(browser, &QTextBrowser::sourceChanged, this, [this] {
        const QString title = browser->documentTitle();
        setWindowTitle(title.isEmpty() ? QStringLiteral("Tervalo Help")
                                       : QStringLiteral("Tervalo Help - ") + title);
    });
}

frmHelp *frmHelp::showPage(const QString &pageName, const QStringList &folders)
{
    if (!s_open)
        s_open = new frmHelp;
    s_open->open(pageName, folders);
    s_open->show();
    s_open->raise();
    s_open->activateWindow();
    return s_open;
}

frmHelp *frmHelp::openWindow()
{
    return s_open && s_open->isVisible() ? s_open.data() : nullptr;
}

QString frmHelp::notFoundPage(const QString &pageName, const QStringList &folders)
{
    QStringList places;
    for (const QString &folder : folders)
        places << QStringLiteral("<li>%1</li>").arg(QDir::toNativeSeparators(folder).toHtmlEscaped());
    return QStringLiteral("<html><head><title>Page not found</title></head><body>"
                          "<h2>Help page not found</h2>"
                          "<p>The page <b>%1</b> of the Tervalo user's guide was not found.</p>"
                          "<p>Tervalo looks for its help pages in these folders:</p><ul>%2</ul>"
                          "<p>Installing Tervalo again puts the pages back.</p></body></html>")
        .arg(pageName.toHtmlEscaped(),
             places.isEmpty() ? QStringLiteral("<li>(none)</li>") : places.join(QString()));
}

void frmHelp::open(const QString &pageName, const QStringList &folders)
{
    m_homePage = pageName;
    m_folders = folders;
    static_cast<HelpBrowser *>(browser)->folders = folders;
    m_home.clear();
    for (const QString &folder : folders) {
        const QFileInfo page(QDir(folder), pageName);
        if (page.isAbsolute() && page.isFile()) {
            m_home = QUrl::fromLocalFile(page.absoluteFilePath());
            break;
        }
    }
    goHome();
}

void frmHelp::goHome()
{
    if (m_home.isValid()) {
        browser->setSource(m_home);
    } else {
        browser->setHtml(notFoundPage(m_homePage, m_folders));
        setWindowTitle(QStringLiteral("Tervalo Help"));
    }
}

} // namespace tervalo
