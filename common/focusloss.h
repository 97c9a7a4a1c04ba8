#pragma once

#include <QObject>

#include <functional>

class QWidget;

namespace tervalo {

// Calls a handler when a control loses the focus to another control of the same window: by Tab,
// a click, an access key or code. Qt also sends a focus-out when another window is activated,
// when the control's own drop-down list opens or when the menu bar takes the keyboard; for a
// person none of these is "leaving the field", and the settings they commit must not be stored
// or checked at such moments, so they are ignored here.
class FocusLossFilter : public QObject
{
public:
    static void attach(QWidget *control, std::function<void()> handler);

    // Sends the focus back to a control whose new value was refused, once the focus has arrived
    // where it was going. The control it passes through on its way back was never left by the
    // user: its focus-loss handler does not run, and cannot overwrite the refusal's message.
    static void returnFocus(QWidget *control);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    FocusLossFilter(QWidget *control, std::function<void()> handler);
    QWidget *m_control;
    std::function<void()> m_handler;
    static bool s_returningFocus;
};

} // namespace tervalo
