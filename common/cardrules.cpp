#include "common/cardrules.h"

namespace tervalo {

bool isCardAddress(const QString &text)
{
    return text.size() == 1 && text[0] >= QLatin1Char('0') && text[0] <= QLatin1Char('7');
}

bool isUnitLetter(const QString &text)
{
    return !unitName(text).isEmpty();
}

QString unitName(const QString &letter)
{
    if (letter == QLatin1String("r"))
        return QStringLiteral("Raw");
    if (letter == QLatin1String("c"))
        return QStringLiteral("Celsius");
    if (letter == QLatin1String("f"))
        return QStringLiteral("Fahrenheit");
    return {};
}

int listPositionOrFirst(int saved, int count)
{
    if (count <= 0)
        return -1;
    return saved >= 0 && saved < count ? saved : 0;
}

} // namespace tervalo
