#include "acquisition/ratetable.h"

#include <QLatin1StringView>

namespace tervalo {

std::optional<int> sampleRateInterval(QStringView code)
{
    for (const SampleRate &rate : sampleRates) {
        if (code == QLatin1StringView(rate.code.data(), qsizetype(rate.code.size())))
            return rate.intervalMs;
    }
    return std::nullopt;
}

} // namespace tervalo
