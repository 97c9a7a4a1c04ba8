#include "acquisition/acquisitioncycle.h"

#include "acquisition/ratetable.h"
#include "common/cardrules.h"
#include "common/focusloss.h"
#include "settings/registrymanagement.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QLabel>
#include <QLatin1StringView>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

#include <optional>

namespace tervalo {

namespace {

QString rateText(std::string_view code)
{
    return QLatin1StringView(code.data(), qsizetype(code.size()));
}

} // namespace

AcquisitionCycle::AcquisitionCycle(WindowState &state, const AcquisitionControls &controls,
                                   QObject *parent)
    : QObject(parent), m_state(state), m_controls(controls)
{
    connect(m_controls.cmdRead, &QPushButton::clicked, this, &AcquisitionCycle::cmdRead_Click);
    connect(m_controls.cmdContinuous, &QPushButton::clicked, this,
            &AcquisitionCycle::cmdContinuous_Click);
    connect(m_controls.mnuContinuous, &QAction::triggered, this,
            &AcquisitionCycle::mnuContinuous_Click);
    // The filter belongs to the rate list and may see its last focus loss while the window is
    // being torn down, after this object has gone.
    FocusLossFilter::attach(m_controls.cmbSampleRate, [cycle = QPointer<AcquisitionCycle>(this)] {
        if (cycle)
            cycle->cmbSampleRate_LostFocus();
    });
}

AcquisitionCycle::~AcquisitionCycle() = default;

void AcquisitionCycle::fillRateList(int savedSampleRateIndex)
{
    QComboBox *list = m_controls.cmbSampleRate;
    list->clear();
    for (std::string_view code : rateListCodes)
        list->addItem(rateText(code));
    // The nine rates are all there is: typed text must not grow the list (the stored position
    // would then point past it at the next start), and Qt must not quietly turn "3SPS" into
    // "3sps", since only exact codes are rates.
    list->setInsertPolicy(QComboBox::NoInsert);
    if (QCompleter *completer = list->completer())
        completer->setCaseSensitivity(Qt::CaseSensitive);
    // A position stored by another version, or edited by hand, must not leave the list without a
    // selection: the first rate is the one a new user starts with.
    list->setCurrentIndex(listPositionOrFirst(savedSampleRateIndex, list->count()));
    updateWait();
}

void AcquisitionCycle::chooseSetup()
{
    SessionSetup setup;
    if (m_controls.txtAddress)
        setup.address = m_controls.txtAddress->text();
    setup.unit = m_state.tempType;
    for (int i = 0; i < channelCount; ++i) {
        // A stored grey state counts as unchecked, as it always has.
        if (QCheckBox *box = m_controls.chkCh[size_t(i)])
            setup.checked[size_t(i)] = box->checkState() == Qt::Checked;
    }
    emit setupChosen(setup);
}

void AcquisitionCycle::cmdRead_Click()
{
    chooseSetup();
    emit readRequested();
}

void AcquisitionCycle::cmdContinuous_Click()
{
    // The first reading of a run comes one interval after the start, not at once: at one sample
    // an hour the log's first line is an hour in, like every other line of it.
    const bool start = !m_state.continuousFlag;
    if (m_hooks.setControlState)
        m_hooks.setControlState(!start);
    m_state.continuousFlag = start;
    const QString caption = start ? QStringLiteral("&Stop") : QStringLiteral("&Continuous");
    m_controls.cmdContinuous->setText(caption);
    m_controls.mnuContinuous->setText(caption);
    // A request already on its way is left alone when a run stops: its answer is still shown.
    if (start) {
        chooseSetup();
        emit runStarted(++m_runId);
    } else {
        emit runStopped();
    }
}

void AcquisitionCycle::sessionEndedRun(int runId)
{
    // A run the user has stopped, or one before it, needs nothing more.
    if (m_state.continuousFlag && runId == m_runId)
        cmdContinuous_Click();
}

void AcquisitionCycle::mnuContinuous_Click()
{
    cmdContinuous_Click();
}

void AcquisitionCycle::updateWait()
{
    applyRate(false);
}

void AcquisitionCycle::applyRate(bool retry)
{
    QComboBox *list = m_controls.cmbSampleRate;
    const int index = list->currentIndex();
    std::optional<int> intervalMs =
        sampleRateInterval(index >= 0 ? list->itemText(index) : QString());
    if (!intervalMs) {
        if (!retry) {
            m_controls.lblStringDisplay->setText(QStringLiteral("Invalid Sample Rate"));
            list->setCurrentIndex(0);
            applyRate(true);
            return;
        }
        // Only a list that was never filled has no rate at position 0; the first rate of the
        // list still paces the timer rather than whatever it had before.
        intervalMs = sampleRateInterval(rateText(rateListCodes.front()));
    }
    emit intervalChosen(*intervalMs);
}

void AcquisitionCycle::cmbSampleRate_LostFocus()
{
    takeTypedRate();
    RegistryManagement::saveNumberSetting("SampleRate",
                                          int16_t(m_controls.cmbSampleRate->currentIndex()));
    updateWait();
}

void AcquisitionCycle::takeTypedRate()
{
    // Text typed into the rate list counts when the focus leaves it: it selects the entry it
    // spells exactly, and text that spells none leaves no entry selected, which updateWait turns
    // into the invalid-rate message. Keeping the old entry instead would have the box show one
    // rate while the card is read at another. No entry is stored as position -1, which the next
    // start reads as the first entry.
    QComboBox *list = m_controls.cmbSampleRate;
    const QString typed = list->currentText();
    if (!list->isEditable() || typed == list->itemText(list->currentIndex()))
        return;
    list->setCurrentIndex(list->findText(typed, Qt::MatchFixedString | Qt::MatchCaseSensitive));
}

} // namespace tervalo
