#include "output/readingsdisplay.h"

#include "device/cardreading.h"
#include "common/cardrules.h"
#include "common/logrecord.h"
#include "settings/registrymanagement.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPalette>
#include <QRadioButton>

namespace tervalo {

ReadingsDisplay::ReadingsDisplay(WindowState &state, const ReadingsDisplayControls &controls,
                                 QObject *parent)
    : QObject(parent), m_state(state), m_controls(controls)
{
    // An option runs its handler whenever it becomes selected, by a click or by code.
    const auto onSelect = [this](QRadioButton *option, void (ReadingsDisplay::*handler)()) {
        connect(option, &QRadioButton::toggled, this, [this, handler](bool selected) {
            if (selected)
                (this->*handler)();
        });
    };
    onSelect(m_controls.OptRaw, &ReadingsDisplay::OptRaw_Click);
    onSelect(m_controls.OptCelsius, &ReadingsDisplay::OptCelsius_Click);
    onSelect(m_controls.OptFahrenheit, &ReadingsDisplay::OptFahrenheit_Click);
}

void ReadingsDisplay::OptRaw_Click()
{
    selectUnit(QStringLiteral("r"));
}

void ReadingsDisplay::OptCelsius_Click()
{
    selectUnit(QStringLiteral("c"));
}

void ReadingsDisplay::OptFahrenheit_Click()
{
    selectUnit(QStringLiteral("f"));
}

void ReadingsDisplay::selectUnit(const QString &letter)
{
    m_state.tempType = letter;
    RegistryManagement::saveTextSetting("Data Output", letter.toStdString());
    updateTempType();
    if (m_hooks.graphVisible && m_hooks.graphVisible() && m_hooks.initGraph)
        m_hooks.initGraph();
    clearTemps();
}

void ReadingsDisplay::updateTempType()
{
    const QString name = tervalo::unitName(m_state.tempType);
    for (QLabel *label : m_controls.lblTemp) {
        if (!name.isEmpty())
            label->setText(name);
        QCoreApplication::processEvents();
    }
}

void ReadingsDisplay::clearTemps()
{
    for (QLabel *label : m_controls.lblCh)
        label->clear();
}

void ReadingsDisplay::setDataOutputValueToTrue(const QString &dataOutput)
{
    // Option buttons of one frame exclude each other; to have none selected for a moment the
    // exclusion is lifted while they are cleared.
    const std::array<QRadioButton *, 3> options{m_controls.OptRaw, m_controls.OptCelsius,
                                                m_controls.OptFahrenheit};
    for (QRadioButton *option : options) {
        option->setAutoExclusive(false);
        option->setChecked(false);
    }
    for (QRadioButton *option : options)
        option->setAutoExclusive(true);

    if (dataOutput == QLatin1String("c"))
        m_controls.OptCelsius->setChecked(true);
    else if (dataOutput == QLatin1String("f"))
        m_controls.OptFahrenheit->setChecked(true);
    else if (dataOutput == QLatin1String("r") || dataOutput == QLatin1String("0"))
        m_controls.OptRaw->setChecked(true);
}

QString ReadingsDisplay::unitName() const
{
    if (m_controls.OptCelsius->isChecked())
        return tervalo::unitName(QStringLiteral("c"));
    if (m_controls.OptFahrenheit->isChecked())
        return tervalo::unitName(QStringLiteral("f"));
    return tervalo::unitName(QStringLiteral("r"));
}

void ReadingsDisplay::showReading(const CardReading &reading)
{
    for (int i = 0; i < channelCount; ++i)
        m_controls.lblCh[size_t(i)]->setText(reading.label(i));
    // The tool tip says which answer the texts come from, fresh or not.
    const QString tip =
        QStringLiteral("Answer received %1").arg(logDateTimeText(reading.when, QLatin1Char(' ')));
    for (QLabel *label : m_controls.lblCh)
        label->setToolTip(tip);
    markReadings(false);
}

void ReadingsDisplay::readingsOutdated()
{
    markReadings(true);
}

void ReadingsDisplay::markReadings(bool stale)
{
    // Greyed, not changed: the texts keep their meaning ("Open", "Err", a reading). Only the
    // text's colour changes; the boxes keep their white background.
    if (stale == m_stale)
        return;
    m_stale = stale;
    for (QLabel *label : m_controls.lblCh) {
        QPalette palette = label->palette();
        const QPalette &window = label->parentWidget() ? label->parentWidget()->palette() : palette;
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            palette.setColor(group, QPalette::WindowText,
                             window.color(stale ? QPalette::Disabled : group, QPalette::WindowText));
        }
        label->setPalette(palette);
    }
}

} // namespace tervalo
