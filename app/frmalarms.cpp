#include "app/frmalarms.h"

#include "common/cardrules.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace tervalo {

namespace {

const char *const unitLetters[] = {"c", "f", "r"};

QDoubleSpinBox *limitBox(QWidget *parent)
{
    auto *box = new QDoubleSpinBox(parent);
    // What the card can report in any unit: -999 to 9999.
    box->setRange(-999, 9999);
    box->setDecimals(1);
    return box;
}

} // namespace

frmAlarms::frmAlarms(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAlarms"));
    setWindowTitle(QStringLiteral("Alarms"));
    auto *layout = new QVBoxLayout(this);
    auto *grid = new QGridLayout;
    layout->addLayout(grid);
    grid->addWidget(new QLabel(QStringLiteral("Above"), this), 0, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Below"), this), 0, 3, 1, 2);
    for (int i = 0; i < channelCount; ++i) {
        const int row = i + 1;
        grid->addWidget(new QLabel(QStringLiteral("Channel %1").arg(i + 1), this), row, 0);
        chkAbove[size_t(i)] = new QCheckBox(this);
        spnAbove[size_t(i)] = limitBox(this);
        chkBelow[size_t(i)] = new QCheckBox(this);
        spnBelow[size_t(i)] = limitBox(this);
        chkOpen[size_t(i)] = new QCheckBox(QStringLiteral("Open"), this);
        chkOpen[size_t(i)]->setToolTip(QStringLiteral("The thermocouple is open (broken or unplugged)"));
        lblInactive[size_t(i)] = new QLabel(this);
        grid->addWidget(chkAbove[size_t(i)], row, 1);
        grid->addWidget(spnAbove[size_t(i)], row, 2);
        grid->addWidget(chkBelow[size_t(i)], row, 3);
        grid->addWidget(spnBelow[size_t(i)], row, 4);
        grid->addWidget(chkOpen[size_t(i)], row, 5);
        grid->addWidget(lblInactive[size_t(i)], row, 6);
        for (QCheckBox *box : {chkAbove[size_t(i)], chkBelow[size_t(i)]})
            connect(box, &QCheckBox::toggled, this, &frmAlarms::updateInactive);
    }

    auto *form = new QFormLayout;
    layout->addLayout(form);
    cmbUnit = new QComboBox(this);
    for (const char *letter : unitLetters)
        cmbUnit->addItem(unitName(QLatin1String(letter)));
    cmbUnit->setToolTip(QStringLiteral("Limits in degrees watch readings in either degree unit; "
                                       "limits in raw counts watch raw readings only"));
    connect(cmbUnit, &QComboBox::currentIndexChanged, this, &frmAlarms::updateInactive);
    form->addRow(QStringLiteral("&Limits in"), cmbUnit);
    spnHysteresis = new QDoubleSpinBox(this);
    spnHysteresis->setRange(0, 1000);
    spnHysteresis->setDecimals(1);
    spnHysteresis->setToolTip(QStringLiteral("An alarm clears only once the reading is this far back past its limit"));
    form->addRow(QStringLiteral("&Hysteresis"), spnHysteresis);
    spnDelay = new QSpinBox(this);
    spnDelay->setRange(1, 1000);
    spnDelay->setToolTip(QStringLiteral("How many readings in a row must break a limit before its alarm is raised"));
    form->addRow(QStringLiteral("&Delay (readings in a row)"), spnDelay);
    chkSound = new QCheckBox(QStringLiteral("&Sound when an alarm is raised"), this);
    form->addRow(chkSound);

    auto *buttons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Apply | QDialogButtonBox::Close, this);
    layout->addWidget(buttons);
    connect(buttons->button(QDialogButtonBox::Ok), &QPushButton::clicked, this, [this] {
        emit applied();
        close();
    });
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &frmAlarms::applied);
    connect(buttons->button(QDialogButtonBox::Close), &QPushButton::clicked, this, &QDialog::close);
}

void frmAlarms::load(const QList<AlarmRule> &rules, double hysteresis, int delay, bool sound)
{
    for (int i = 0; i < channelCount; ++i) {
        chkAbove[size_t(i)]->setChecked(false);
        chkBelow[size_t(i)]->setChecked(false);
        chkOpen[size_t(i)]->setChecked(false);
    }
    // One unit for every limit on show: the first limit's (the dialog writes them all alike).
    QString unit = QStringLiteral("c");
    for (const AlarmRule &rule : rules) {
        if (rule.kind != AlarmRule::Kind::Open && !rule.unit.isEmpty()) {
            unit = rule.unit;
            break;
        }
    }
    for (int u = 0; u < 3; ++u) {
        if (unit == QLatin1String(unitLetters[u]))
            cmbUnit->setCurrentIndex(u);
    }
    for (const AlarmRule &rule : rules) {
        const auto i = size_t(rule.channel);
        if (rule.kind == AlarmRule::Kind::Open) {
            chkOpen[i]->setChecked(true);
            continue;
        }
        const bool above = rule.kind == AlarmRule::Kind::Above;
        (above ? chkAbove : chkBelow)[i]->setChecked(true);
        (above ? spnAbove : spnBelow)[i]->setValue(rule.limit);
    }
    spnHysteresis->setValue(hysteresis);
    spnDelay->setValue(delay);
    chkSound->setChecked(sound);
    updateInactive();
}

QList<AlarmRule> frmAlarms::rules() const
{
    QList<AlarmRule> rules;
    for (int i = 0; i < channelCount; ++i) {
        const auto c = size_t(i);
        if (chkAbove[c]->isChecked())
            rules.append({i, AlarmRule::Kind::Above, spnAbove[c]->value(), limitUnit()});
        if (chkBelow[c]->isChecked())
            rules.append({i, AlarmRule::Kind::Below, spnBelow[c]->value(), limitUnit()});
        if (chkOpen[c]->isChecked())
            rules.append({i, AlarmRule::Kind::Open, 0, {}});
    }
    return rules;
}

double frmAlarms::hysteresis() const
{
    return spnHysteresis->value();
}

int frmAlarms::delay() const
{
    return spnDelay->value();
}

bool frmAlarms::sound() const
{
    return chkSound->isChecked();
}

void frmAlarms::setReadingUnit(const QString &unit)
{
    m_readingUnit = unit;
    updateInactive();
}

QString frmAlarms::limitUnit() const
{
    return QLatin1String(unitLetters[std::clamp(cmbUnit->currentIndex(), 0, 2)]);
}

void frmAlarms::updateInactive()
{
    // Said, not hidden: a limit that cannot watch today's readings is one the user must know of.
    const AlarmRule probe{0, AlarmRule::Kind::Above, 0, limitUnit()};
    const bool applies = AlarmMonitor::applies(probe, m_readingUnit);
    for (int i = 0; i < channelCount; ++i) {
        const bool limits = chkAbove[size_t(i)]->isChecked() || chkBelow[size_t(i)]->isChecked();
        lblInactive[size_t(i)]->setText(limits && !applies
                                            ? QStringLiteral("inactive: readings are in %1").arg(unitName(m_readingUnit))
                                            : QString());
    }
}

} // namespace tervalo
