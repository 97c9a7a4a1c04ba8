#pragma once

#include "output/filedialog.h"

#include <QString>

namespace tervalo {

// Answers the log's save dialog without a person: the given file, or a cancel when none is set.
struct ScriptedDialog : SaveFileDialog
{
    QString answer;
    int shown = 0;
    int ShowSave(QWidget *, const QString &, QString &fileName) override
    {
        ++shown;
        if (answer.isEmpty())
            return cancelError;
        fileName = answer;
        return 0;
    }
};

} // namespace tervalo
