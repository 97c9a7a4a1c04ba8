// Feeds arbitrary bytes, as they would arrive on the serial line, to the answer decoder. Every
// field must decode without a crash; a reading that decodes must be the number its text says,
// rounded half to even, and what the label shows must be exactly what the log receives.

#include "device/protocol.h"

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace tervalo;

static void checkReading(const QString &text, qint16 value)
{
    // A plain floating-point reading of short texts is exact enough to check the rounding.
    const std::string ascii = text.trimmed().toStdString();
    const auto point = ascii.find('.');
    if (ascii.size() > 12 || (point != std::string::npos && ascii.size() - point > 7))
        return;
    std::fesetround(FE_TONEAREST);
    const double expected = std::nearbyint(std::strtod(ascii.c_str(), nullptr));
    if (expected != double(value))
        std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks which channels are checked; the rest is the answer.
    const uint8_t checkedMask = data[0];
    const QString answer = QString::fromLatin1(reinterpret_cast<const char *>(data + 1),
                                               qsizetype(size - 1));
    for (int i = 0; i < channelCount; ++i) {
        const QString field = channelField(answer, i);
        if (field.size() > 5)
            std::abort();
        const ChannelReading reading = decodeChannel(field, (checkedMask >> i) & 1);
        if (!reading.ok) {
            if (reading.value != 0)
                std::abort();
            continue;
        }
        if (reading.label != reading.item && reading.label != QLatin1String("Open") &&
            reading.label != QLatin1String("Disabled"))
            std::abort();
        if (reading.label == reading.item)
            checkReading(reading.label, reading.value);
    }
    const auto value = readingValue(answer);
    if (value)
        checkReading(answer, *value);
    return 0;
}
