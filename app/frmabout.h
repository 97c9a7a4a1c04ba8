#pragma once

#include <QDialog>
#include <QPointer>
#include <QUrl>

#include <array>
#include <functional>

class QFrame;
class QLabel;
class QPushButton;

namespace tervalo {

// The application title, which the about box's caption and its message box carry.
inline constexpr const char *applicationTitle = "Tervalo";

// The about box: the product, the devices it is made for, the maker's web site and a button that
// starts the system's information tool. Modeless, one at a time, owned by no window, so it
// neither blocks nor follows the main window.
class frmAbout : public QDialog
{
    Q_OBJECT
public:
    // Shows the box, or brings the open one forward. The owner only says on which screen a new
    // box is centred.
    static void showAbout(QWidget *owner);
    // The box on the screen now, if any.
    static frmAbout *openBox();

    // How the maker's web site is opened; tests replace it so no browser starts.
    static std::function<void(const QUrl &)> openUrl;

    void Form_Load();
    void cmdOK_Click();
    void cmdSysInfo_Click();
    void lblHyperlink_Click();
    void StartSysInfo();

    QLabel *Picture1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *lblHyperlink = nullptr;
    std::array<QFrame *, 2> Line1{};
    QPushButton *cmdOK = nullptr;
    QPushButton *cmdSysInfo = nullptr;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit frmAbout(QWidget *owner);

    QPointer<QWidget> m_owner;
    static QPointer<frmAbout> s_open;
};

} // namespace tervalo
