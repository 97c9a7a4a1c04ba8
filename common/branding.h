#pragma once

#include <QString>

#ifndef TERVALO_MAKER_URL
#define TERVALO_MAKER_URL "https://www.quillmar.example"
#endif

namespace tervalo {

inline constexpr const char *makerName = "Quillmar.";
inline constexpr const char *makerUrl = TERVALO_MAKER_URL;

// What the status line shows whenever nothing has gone wrong: the maker's name, a wide gap and
// the maker's web address.
inline QString defaultStatusText()
{
    return QString::fromLatin1(makerName) + QString(45, QLatin1Char(' ')) +
           QString::fromLatin1(makerUrl);
}

} // namespace tervalo
