#include "common/focusloss.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QLineEdit>
#include <QScopedValueRollback>
#include <QTimer>
#include <QWidget>

namespace tervalo {

bool FocusLossFilter::s_returningFocus = false;

FocusLossFilter::FocusLossFilter(QWidget *control, std::function<void()> handler)
    : QObject(control), m_control(control), m_handler(std::move(handler))
{
}

void FocusLossFilter::attach(QWidget *control, std::function<void()> handler)
{
    auto *filter = new FocusLossFilter(control, std::move(handler));
    control->installEventFilter(filter);
    // An editable combo box hands its keyboard focus to the line edit inside it.
    if (auto *combo = qobject_cast<QComboBox *>(control); combo && combo->lineEdit())
        combo->lineEdit()->installEventFilter(filter);
}

void FocusLossFilter::returnFocus(QWidget *control)
{
    QTimer::singleShot(0, control, [control] {
        const QScopedValueRollback returning(s_returningFocus, true);
        control->setFocus(Qt::OtherFocusReason);
    });
}

bool FocusLossFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::FocusOut || s_returningFocus)
        return false;
    switch (static_cast<QFocusEvent *>(event)->reason()) {
    case Qt::ActiveWindowFocusReason:
    case Qt::PopupFocusReason:
    case Qt::MenuBarFocusReason:
        return false;
    default:
        break;
    }
    // Focus moving to the combo box's own line edit or its drop-down list (a window of its own,
    // but still the combo box's child) stays inside the control.
    for (QWidget *next = QApplication::focusWidget(); next; next = next->parentWidget()) {
        if (next == m_control)
            return false;
    }
    Q_UNUSED(watched);
    m_handler();
    return false;
}

} // namespace tervalo
