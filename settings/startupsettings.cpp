#include "settings/startupsettings.h"

#include <charconv>

namespace RegistryManagement {

namespace {

const char *const channelNames[6] = {"Channel 1", "Channel 2", "Channel 3",
                                     "Channel 4", "Channel 5", "Channel 6"};

RegValue stored(const char *name)
{
    return readKeyValue(SETTINGS_KEY, name);
}

// A stored value a person edited into something the window cannot show falls back to the
// setting's default rather than to whatever the conversion would make of it.
int16_t numberOr(const RegValue &value, int16_t fallback)
{
    return toInt16(value).value_or(fallback);
}

} // namespace

std::optional<int16_t> toInt16(const RegValue &value)
{
    int32_t number = 0;
    switch (value.kind) {
    case RegValue::Kind::Empty:
        return int16_t(0);
    case RegValue::Kind::Number:
        number = value.number;
        break;
    case RegValue::Kind::Text: {
        // Blanks around the digits are what a hand edit most often leaves behind.
        const std::string &t = value.text;
        const auto first = t.find_first_not_of(' ');
        const auto last = t.find_last_not_of(' ');
        if (first == std::string::npos)
            return std::nullopt;
        const char *begin = t.data() + first;
        const char *end = t.data() + last + 1;
        // A plus is how a person writes a positive number; from_chars takes only a minus, and a
        // minus after the plus makes no number at all.
        if (*begin == '+') {
            ++begin;
            if (begin != end && *begin == '-')
                return std::nullopt;
        }
        const auto [ptr, ec] = std::from_chars(begin, end, number);
        if (ec != std::errc() || ptr != end)
            return std::nullopt;
        break;
    }
    }
    if (number < -32768 || number > 32767)
        return std::nullopt;
    return int16_t(number);
}

bool isEmptyText(const RegValue &value)
{
    return value.isEmpty() || (value.isText() && value.text.empty());
}

bool isZero(const RegValue &value)
{
    return value.isEmpty() || (value.isNumber() && value.number == 0);
}

void ensureDefaultSettings()
{
    for (const char *name : channelNames) {
        if (isEmptyText(stored(name)))
            saveNumberSetting(name, 1);
    }
    for (const char *name : {"Port No", "SampleRate", "Address"}) {
        if (isEmptyText(stored(name)))
            saveNumberSetting(name, 0);
    }
    const RegValue updateTime = stored("Update Time");
    if (isEmptyText(updateTime) || isZero(updateTime))
        saveNumberSetting("Update Time", 1);
    const RegValue dataOutput = stored("Data Output");
    if (isEmptyText(dataOutput) || isZero(dataOutput))
        saveTextSetting("Data Output", "r");
}

bool savedKeepRunning()
{
    return toInt16(stored("Keep Running")) == std::optional<int16_t>(1);
}

// A value that reads as nothing at all, although the defaults were just written, means the store
// is out of reach (a folder where the file belongs, a disk that refuses writes). Starting with no
// channel, no address and no unit would send requests the card cannot answer; the defaults are
// what a first start shows, so they are used instead.
static RegValue storedOr(const char *name, RegValue fallback)
{
    RegValue value = stored(name);
    return value.isEmpty() ? fallback : value;
}

AppliedSettings applySettings(SettingsWindow &window)
{
    AppliedSettings applied;
    for (int i = 0; i < 6; ++i) {
        int16_t value = numberOr(storedOr(channelNames[i], RegValue::fromNumber(1)), 1);
        if (value < 0 || value > 2)
            value = 1;
        window.setChannelValue(i, value);
    }
    applied.portListPosition = numberOr(stored("Port No"), 0);
    window.setAddressText(storedOr("Address", RegValue::fromNumber(0)).asText());
    applied.rateListPosition = numberOr(stored("SampleRate"), 0);
    window.setDataOutputValueToTrue(storedOr("Data Output", RegValue::fromText("r")).asText());
    return applied;
}

} // namespace RegistryManagement
