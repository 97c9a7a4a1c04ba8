#pragma once

#include <QStringView>

#include <array>
#include <optional>
#include <string_view>

namespace tervalo {

// A sample rate as the user picks it: a count and "sps", "spm" or "sph" (samples per second,
// minute or hour), with the sampling timer's interval in milliseconds.
struct SampleRate
{
    std::string_view code;
    int intervalMs;
};

// Every rate the program understands, in the order they are looked up. Three samples a second is
// 333 ms, a third of a second to the nearest millisecond (not 334).
inline constexpr std::array<SampleRate, 13> sampleRates{{
    {"5sps", 200},
    {"4sps", 250},
    {"3sps", 333},
    {"2sps", 500},
    {"1sps", 1000},
    {"6spm", 10000},
    {"3spm", 20000},
    {"2spm", 30000},
    {"1spm", 60000},
    {"6sph", 600000},
    {"3sph", 1200000},
    {"2sph", 1800000},
    {"1sph", 3600000},
}};

// The rates offered in the rate list, in list order. The setting "SampleRate" remembers a
// position in this list, so the order is part of every user's stored settings: append only.
inline constexpr std::array<std::string_view, 9> rateListCodes{
    "3sps", "2sps", "1sps", "6spm", "2spm", "1spm", "6sph", "2sph", "1sph"};

// Up to eight cards share one line, each answering only its own address, and the line carries
// one answer at a time. A round asks them in turn at every tick; this is the least time each of
// them needs (the request, 17 ms, and the answer, 133 ms, at 2400 baud, and the card's and the
// computer's turnaround), so cards x roundSlotMs must fit the grid's interval.
inline constexpr int roundSlotMs = 200;

// The interval of a rate code; nothing for any text that is not exactly one of the codes
// (case matters, no blanks are trimmed).
std::optional<int> sampleRateInterval(QStringView code);

} // namespace tervalo
