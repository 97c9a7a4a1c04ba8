#include "output/filedialog.h"

#include <QFileDialog>
#include <QRegularExpression>

namespace tervalo {

SaveFileDialog::~SaveFileDialog() = default;

QString qtFileFilter(const QString &pairs)
{
    static const QRegularExpression trailingPattern(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
    const QStringList parts = pairs.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        // The description usually repeats the pattern in brackets; Qt shows the pattern it is
        // given, so the repeat goes.
        QString description = parts[i];
        description.remove(trailingPattern);
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        filters << QStringLiteral("%1 (%2)").arg(description, patterns);
    }
    return filters.join(QStringLiteral(";;"));
}

namespace {

// "*.csv" gives "csv"; a pattern such as "*.*" gives nothing.
QString suffixOf(const QString &qtFilter)
{
    static const QRegularExpression firstPattern(QStringLiteral("\\(\\*\\.(\\w+)"));
    return firstPattern.match(qtFilter).captured(1);
}

} // namespace

int QtSaveFileDialog::ShowSave(QWidget *parent, const QString &filter, QString &fileName)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // Records are appended to a chosen file, never written over it, so asking "replace it?"
    // would frighten the user for nothing.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    const QString filters = qtFileFilter(filter);
    dialog.setNameFilters(filters.split(QStringLiteral(";;")));
    // A name typed without its extension gets the one of the chosen file type, so the file still
    // opens with the right program.
    dialog.setDefaultSuffix(suffixOf(dialog.nameFilters().value(0)));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                     [&dialog](const QString &chosen) { dialog.setDefaultSuffix(suffixOf(chosen)); });
    dialog.selectFile(fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return cancelError;
    fileName = dialog.selectedFiles().constFirst();
    return 0;
}

} // namespace tervalo
