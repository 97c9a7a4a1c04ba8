#include "history/channelnames.h"

#include "common/channelcount.h"
#include "settings/registrymanagement.h"

#include <string>

namespace tervalo {

namespace {

std::string settingName(int channel)
{
    return "Channel " + std::to_string(channel + 1) + " Name";
}

} // namespace

QString defaultChannelName(int channel)
{
    return QStringLiteral("Ch%1").arg(channel + 1);
}

QString cleanChannelName(const QString &name)
{
    // A name shows on one line of a legend or a report: a tab or line feed pasted in with it
    // would break the line.
    QString kept;
    kept.reserve(name.size());
    for (const QChar c : name) {
        if (c.category() != QChar::Other_Control)
            kept += c;
    }
    kept = kept.trimmed();
    // Counted in characters, not UTF-16 units: a letter outside the basic plane is two units and
    // is never cut in half.
    qsizetype end = 0;
    for (int count = 0; end < kept.size() && count < channelNameLength; ++count) {
        const bool pair = kept.at(end).isHighSurrogate() && end + 1 < kept.size() &&
                          kept.at(end + 1).isLowSurrogate();
        end += pair ? 2 : 1;
    }
    return end < kept.size() ? kept.left(end).trimmed() : kept;
}

QStringList channelNames()
{
    using namespace RegistryManagement;
    QStringList names;
    for (int c = 0; c < channelCount; ++c) {
        const RegValue value = readKeyValue(SETTINGS_KEY, settingName(c));
        const QString name =
            cleanChannelName(value.isEmpty() ? QString() : QString::fromStdString(value.asText()));
        names.append(name.isEmpty() ? defaultChannelName(c) : name);
    }
    return names;
}

void saveChannelNames(const QStringList &names)
{
    for (int c = 0; c < channelCount; ++c) {
        QString name = cleanChannelName(names.value(c));
        // The default is not stored, so the name the program gives unnamed channels can change.
        if (name == defaultChannelName(c))
            name.clear();
        RegistryManagement::saveTextSetting(settingName(c), name.toStdString());
    }
}

QString channelLabel(int channel, const QStringList &names)
{
    const QString number = defaultChannelName(channel);
    const QString name = cleanChannelName(names.value(channel));
    if (name.isEmpty() || name == number)
        return number;
    return number + QLatin1Char(' ') + name;
}

} // namespace tervalo
