#pragma once

#include <QWidget>

#include <functional>

class QGroupBox;
class QKeyEvent;
class QLabel;
class QTimer;

namespace tervalo {

// "Version 2.0.12": each part in plain decimal digits, without leading zeros.
QString versionCaption(int major, int minor, int revision);

// The platforms this build of the program runs on, as the splash window names them.
QString platformCaption();

// The start-up window: the product, the devices it serves, the version and the platforms, for
// three seconds or until a character key is pressed. It then closes itself and calls showMain,
// which creates and shows the main window.
class frmSplash : public QWidget
{
    Q_OBJECT
public:
    explicit frmSplash(std::function<void()> showMain, QWidget *parent = nullptr);
    ~frmSplash() override;

    void Form_Load();
    void tmrSplash_Timer();
    void Form_KeyPress(QChar keyAscii);

    QWidget *client = nullptr;
    QGroupBox *Frame1 = nullptr;
    QLabel *Picture1 = nullptr;
    QLabel *lblCompanyProduct = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *lblPlatform = nullptr;
    QLabel *lblCopyright = nullptr;
    QTimer *tmrSplash = nullptr;

    // How closing the splash from outside ends the program; the main window never comes then.
    std::function<void()> endProgram;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void endSplash();

    std::function<void()> m_showMain;
    bool m_ended = false;
};

} // namespace tervalo
