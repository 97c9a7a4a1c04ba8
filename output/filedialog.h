#pragma once

#include <QString>

class QWidget;

namespace tervalo {

// The save-file dialog, reached through this seam so that nothing modal ever opens in a test.
class SaveFileDialog
{
public:
    // Raised in place of a name when the user cancels, so a cancel can be told apart from a
    // failure of the dialog itself.
    static constexpr int cancelError = 32755;

    virtual ~SaveFileDialog();

    // Shows a save dialog; returns 0 when a name was confirmed (fileName set), 32755 when
    // cancelled, any other number for another failure. fileName comes in as the preset name.
    // filter lists description and pattern pairs, all separated by "|":
    // "Comma-separated-value(*.csv)|*.csv".
    virtual int ShowSave(QWidget *parent, const QString &filter, QString &fileName) = 0;
};

// The desktop's own save dialog.
class QtSaveFileDialog : public SaveFileDialog
{
public:
    // What saving does to a file that is already there: the log appends to it, so choosing it
    // needs no question; an image replaces it, so the dialog asks first.
    enum class ExistingFile { Append, Replace };

    explicit QtSaveFileDialog(ExistingFile existing = ExistingFile::Append) : m_existing(existing) {}
    int ShowSave(QWidget *parent, const QString &filter, QString &fileName) override;

private:
    ExistingFile m_existing;
};

// The name a log file gets: as typed, with the file type's extension added only when the name
// has none and no file of that name is there (an existing log without an extension stays
// choosable).
QString nameWithDefaultSuffix(const QString &typed, const QString &suffix);

// "Comma-separated-value(*.csv)|*.csv|All files(*.*)|*.*" as Qt writes a file filter:
// "Comma-separated-value (*.csv);;All files (*.*)".
QString qtFileFilter(const QString &pairs);

} // namespace tervalo
