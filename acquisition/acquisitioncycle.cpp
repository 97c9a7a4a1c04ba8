#include "acquisition/acquisitioncycle.h"

#include "acquisition/hirestimer.h"
#include "acquisition/ratetable.h"
#include "common/focusloss.h"
#include "settings/registrymanagement.h"

#include <QAction>
#include <QComboBox>
#include <QCompleter>
#include <QLabel>
#include <QLatin1StringView>
#include <QPointer>
#include <QPushButton>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <optional>
#include <sys/resource.h>
#endif

namespace tervalo {

namespace {

const QString commTimerKey = QStringLiteral("commTimer");
constexpr int commTimerStartIntervalMs = 250;

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

void AcquisitionCycle::createTimer()
{
    if (m_hiResTimer)
        return;
    m_hiResTimer = new HiResTimer(this);
    m_hiResTimer->Add(commTimerKey, commTimerStartIntervalMs);
    connect(m_hiResTimer, &HiResTimer::Timer, this, &AcquisitionCycle::hiResTimer_Timer);
}

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
    const bool inList = savedSampleRateIndex >= 0 && savedSampleRateIndex < list->count();
    list->setCurrentIndex(inList ? savedSampleRateIndex : 0);
    updateWait();
}

void AcquisitionCycle::cmdRead_Click()
{
    if (m_hooks.requestData)
        m_hooks.requestData();
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
    if (m_hiResTimer)
        m_hiResTimer->setEnabled(commTimerKey, start);
}

void AcquisitionCycle::mnuContinuous_Click()
{
    cmdContinuous_Click();
}

void AcquisitionCycle::hiResTimer_Timer(const QString &sKey)
{
    // Every tick asks again, answered or not: a lost answer costs one reading, never the run.
    if (sKey == commTimerKey)
        cmdRead_Click();
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
    if (m_hiResTimer)
        m_hiResTimer->setInterval(commTimerKey, *intervalMs);
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

void SetPriority(int32_t lThreadPriority, int32_t lClassPriority)
{
#ifdef _WIN32
    SetThreadPriority(GetCurrentThread(), lThreadPriority);
    SetPriorityClass(GetCurrentProcess(), DWORD(lClassPriority));
#else
    // Without the Windows scheme, the process class becomes a nice value, and nothing more: a
    // real-time scheduling policy would let a busy window thread freeze the whole desktop, and
    // the pacing does not need it: the sampling timer never drifts, whatever the nice value, and
    // a busy machine at worst makes a single tick late.
    // The real-time and high classes ask for nice -5, a step ahead of ordinary programs; an
    // unprivileged user is usually refused, and the program then runs at the nice it has.
    // The thread value maps to nothing. Lowering the window thread within its process only made
    // sense inside the real-time class, where it kept the window thread from starving the
    // system; here the window thread is the program, and under Linux setpriority on it already
    // sets that very thread's nice value (threads started later inherit it).
    Q_UNUSED(lThreadPriority);
    std::optional<int> nice;
    switch (lClassPriority) {
    case 0x40: // IDLE_PRIORITY_CLASS
        nice = 19;
        break;
    case 0x4000: // BELOW_NORMAL_PRIORITY_CLASS
        nice = 5;
        break;
    case 0x20: // NORMAL_PRIORITY_CLASS
        nice = 0;
        break;
    case 0x8000: // ABOVE_NORMAL_PRIORITY_CLASS
        nice = -2;
        break;
    case 0x80:  // HIGH_PRIORITY_CLASS
    case 0x100: // REALTIME_PRIORITY_CLASS
        nice = -5;
        break;
    default: // not a class the scheme knows: the priority stays as it is, as Windows would leave it
        break;
    }
    if (nice) {
        const int saved = errno;
        ::setpriority(PRIO_PROCESS, 0, *nice);
        errno = saved;
    }
#endif
}

} // namespace tervalo
