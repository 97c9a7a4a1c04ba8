#pragma once

#include "common/windowstate.h"
#include "output/filedialog.h"
#include "output/logwriter.h"

#include <QObject>
#include <QString>

#include <memory>

class QAction;
class QCheckBox;
class QLabel;
class QWidget;

namespace tervalo {

struct CardReading;

// The main window's controls that the data log works on.
struct DataLogControls
{
    QCheckBox *chkSave = nullptr;
    QAction *mnuSave = nullptr;
    QLabel *lblStringDisplay = nullptr;
    QWidget *dialogParent = nullptr;
};

// The CSV data log: the two switches that turn logging on and off, the choice of the file, and
// the writing of each reading's record.
class DataLog : public QObject
{
    Q_OBJECT
public:
    // dialog stays the caller's; without one, the desktop's save dialog is used.
    DataLog(WindowState &state, const DataLogControls &controls, SaveFileDialog *dialog = nullptr,
            QObject *parent = nullptr);
    ~DataLog() override;

    // Another dialog from now on (tests use one that never waits for a person).
    void setDialog(SaveFileDialog *dialog) { m_dialog = dialog ? dialog : m_ownDialog.get(); }

    void chkSave_Click();
    void mnuSave_Click();
    // Every reading: the account of what reached the log, for the box's tool tip. The record was
    // written by the acquisition session, which also said so on the status line when it failed.
    void readingTaken(const tervalo::CardReading &reading);

    QString Filter;   // the file types the dialog offers
    QString FileName; // the chosen log file; "" when there is none

    // The log in use or last used, as the box's tool tip tells it.
    const LogWriter &writer() const { return m_writer; }

signals:
    // Records go to this file from now on; "" when logging is off.
    void logFileChanged(const QString &fileName);

private:
    void showMarkOfBox();
    void showLogInTip();

    WindowState &m_state;
    DataLogControls m_controls;
    std::unique_ptr<SaveFileDialog> m_ownDialog;
    SaveFileDialog *m_dialog;
    LogWriter m_writer;
};

} // namespace tervalo
