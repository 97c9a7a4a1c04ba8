#pragma once

#include "alarms/alarmrules.h"
#include "common/channelcount.h"

#include <QDialog>

#include <array>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSpinBox;

namespace tervalo {

// Tools > Alarms: the rules of each channel (above a limit, below a limit, thermocouple open),
// the unit the limits are in, the hysteresis and delay that keep noise from flapping an alarm,
// and the sound. Not modal: the readings go on while it is open, and Apply takes effect at once.
class frmAlarms : public QDialog
{
    Q_OBJECT
public:
    explicit frmAlarms(QWidget *parent = nullptr);

    void load(const QList<AlarmRule> &rules, double hysteresis, int delay, bool sound);
    QList<AlarmRule> rules() const;
    double hysteresis() const;
    int delay() const;
    bool sound() const;
    // Marks the rules that cannot watch readings in this unit ("c", "f", "r") as inactive.
    void setReadingUnit(const QString &unit);

    std::array<QCheckBox *, channelCount> chkAbove{};
    std::array<QDoubleSpinBox *, channelCount> spnAbove{};
    std::array<QCheckBox *, channelCount> chkBelow{};
    std::array<QDoubleSpinBox *, channelCount> spnBelow{};
    std::array<QCheckBox *, channelCount> chkOpen{};
    std::array<QLabel *, channelCount> lblInactive{};
    QComboBox *cmbUnit = nullptr;
    QDoubleSpinBox *spnHysteresis = nullptr;
    QSpinBox *spnDelay = nullptr;
    QCheckBox *chkSound = nullptr;

signals:
    // OK or Apply: the rules on show are to be used and stored.
    void applied();

private:
    QString limitUnit() const;
    void updateInactive();

    QString m_readingUnit = QStringLiteral("r");
};

} // namespace tervalo
