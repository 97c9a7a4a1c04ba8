#include "output/datalog.h"

#include "device/cardreading.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>

namespace tervalo {

DataLog::DataLog(WindowState &state, const DataLogControls &controls, SaveFileDialog *dialog,
                 QObject *parent)
    : QObject(parent), m_state(state), m_controls(controls),
      m_ownDialog(dialog ? nullptr : std::make_unique<QtSaveFileDialog>()),
      m_dialog(dialog ? dialog : m_ownDialog.get())
{
    // The box's state, not its click: the menu item switches logging by setting the box, and
    // that must run the same handler as a click does.
    connect(m_controls.chkSave, &QCheckBox::stateChanged, this, &DataLog::chkSave_Click);
    connect(m_controls.mnuSave, &QAction::triggered, this, &DataLog::mnuSave_Click);
}

DataLog::~DataLog() = default;

void DataLog::showMarkOfBox()
{
    emit logFileChanged(m_state.saveToDisk ? FileName : QString());
    // The menu item and the box are one switch; setChecked does not trigger the item, so this
    // never runs mnuSave_Click again.
    m_controls.mnuSave->setChecked(m_controls.chkSave->isChecked());
    showLogInTip();
}

void DataLog::showLogInTip()
{
    m_controls.chkSave->setToolTip(m_writer.summary(m_state.saveToDisk));
}

void DataLog::chkSave_Click()
{
    m_state.saveToDisk = m_controls.chkSave->checkState() != Qt::Unchecked;
    if (!m_state.saveToDisk) {
        showMarkOfBox();
        return;
    }

    // Nothing is logged while the dialog is open: an answer that arrives meanwhile (a slow card,
    // a reading asked for just before) has no file of the user's yet, and must not go to the
    // preset name in whatever folder the program was started from.
    m_state.saveToDisk = false;
    Filter = QStringLiteral("Comma-separated-value(*.csv)|*.csv");
    FileName.clear();
    QString chosen = QStringLiteral("output.csv");
    const int result = m_dialog->ShowSave(m_controls.dialogParent, Filter, chosen);
    if (result == 0) {
        // The file is created by the first record, not now: choosing a file writes nothing.
        FileName = chosen;
        m_writer.start(FileName);
        m_state.saveToDisk = true;
        showMarkOfBox();
        return;
    }

    m_controls.lblStringDisplay->setText(
        result == SaveFileDialog::cancelError
            ? QStringLiteral("No file was selected.")
            : QStringLiteral("Error %1 was encountered when opening file.").arg(result));
    m_controls.mnuSave->setChecked(false);
    FileName.clear();
    // Runs this handler once more, for the unchecked box, which only switches logging off.
    m_controls.chkSave->setCheckState(Qt::Unchecked);
    m_state.saveToDisk = false;
}

void DataLog::mnuSave_Click()
{
    // The check mark always shows the box, so the box says whether logging is on. The mark
    // itself cannot: Qt flips it before the item reports the click, a direct call does not.
    const bool on = m_controls.chkSave->isChecked();
    m_controls.mnuSave->setChecked(!on);
    m_controls.chkSave->setCheckState(on ? Qt::Unchecked : Qt::Checked);
    showMarkOfBox();
}

void DataLog::readingTaken(const CardReading &reading)
{
    if (!reading.logged)
        return;
    m_writer.tally(reading.logError);
    showLogInTip();
}

} // namespace tervalo
