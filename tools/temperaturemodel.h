#pragma once

#include "tools/cardformat.h"

#include <QtGlobal>

#include <array>
#include <random>

namespace tervalo::sim {

// How one simulated probe behaves: a slow swing around its base (a thermostat cycling), a random
// wander on top, and a little conversion noise on every reading.
struct ChannelProfile
{
    double base;          // °C
    double swing;         // amplitude of the slow cycle, °C
    double periodSeconds; // length of the slow cycle
    double wander;        // typical size of the random wander, °C
    double noise;         // largest reading-to-reading noise, °C

    // The reading never strays further than this from the base.
    double limit() const { return swing + 3.0 * wander + noise; }
};

// Six probes in familiar places (room, body, freezer, boiling water, warm bath, oven), so that a
// user sees readings that make sense and move a little, like a real bench.
class TemperatureModel
{
public:
    explicit TemperatureModel(quint64 seed);

    static const std::array<ChannelProfile, channelCount> &profiles();

    // The temperatures at the given time, in seconds since the model started. Time only moves
    // forward; an earlier time counts as no time passed.
    ChannelTemperatures sample(double seconds);

private:
    std::mt19937_64 m_random;
    std::array<double, channelCount> m_phase{};
    std::array<double, channelCount> m_wander{};
    double m_time = 0.0;
};

} // namespace tervalo::sim
