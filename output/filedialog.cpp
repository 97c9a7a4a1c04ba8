#include "output/filedialog.h"

#include <QFileDialog>
#include <QFileInfo>
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

QString nameWithDefaultSuffix(const QString &typed, const QString &suffix)
{
    const QFileInfo file(typed);
    if (suffix.isEmpty() || !file.suffix().isEmpty() || file.exists())
        return typed;
    return typed + QLatin1Char('.') + suffix;
}

int QtSaveFileDialog::ShowSave(QWidget *parent, const QString &filter, QString &fileName)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    const QString filters = qtFileFilter(filter);
    dialog.setNameFilters(filters.split(QStringLiteral(";;")));
    const bool replaces = m_existing == ExistingFile::Replace;
    if (replaces) {
        // The dialog adds the file type's extension itself, before it asks about the file that
        // name would replace.
        dialog.setDefaultSuffix(suffixOf(dialog.nameFilters().value(0)));
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString &chosen) {
            dialog.setDefaultSuffix(suffixOf(chosen));
        });
    } else {
        // Records are appended to a chosen file, never written over it, so asking "replace it?"
        // would frighten the user for nothing.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    }
    dialog.selectFile(fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return cancelError;
    fileName = dialog.selectedFiles().constFirst();
    if (!replaces)
        fileName = nameWithDefaultSuffix(fileName, suffixOf(dialog.selectedNameFilter()));
    return 0;
}

} // namespace tervalo
