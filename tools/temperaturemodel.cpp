#include "tools/temperaturemodel.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tervalo::sim {

namespace {

// How quickly the wander forgets where it was; a minute keeps it smooth from one reading to the
// next yet visibly different after a few minutes.
constexpr double wanderMemorySeconds = 60.0;

} // namespace

TemperatureModel::TemperatureModel(quint64 seed) : m_random(seed)
{
    std::uniform_real_distribution<double> phase(0.0, 2.0 * std::numbers::pi);
    std::normal_distribution<double> normal;
    for (std::size_t i = 0; i < channelCount; ++i) {
        const double wander = profiles()[i].wander;
        m_phase[i] = phase(m_random);
        m_wander[i] = std::clamp(normal(m_random) * wander, -3.0 * wander, 3.0 * wander);
    }
}

const std::array<ChannelProfile, channelCount> &TemperatureModel::profiles()
{
    static const std::array<ChannelProfile, channelCount> table{{
        {22.0, 0.8, 180.0, 0.3, 0.05}, // room air
        {37.0, 0.3, 240.0, 0.1, 0.05}, // body / incubator
        {-18.0, 1.5, 120.0, 0.4, 0.1}, // freezer, compressor cycling
        {100.0, 0.5, 90.0, 0.3, 0.1},  // boiling water
        {65.0, 2.0, 150.0, 0.5, 0.1},  // warm bath
        {250.0, 5.0, 200.0, 1.5, 0.3}, // oven
    }};
    return table;
}

ChannelTemperatures TemperatureModel::sample(double seconds)
{
    const double elapsed = std::max(0.0, seconds - m_time);
    m_time = std::max(m_time, seconds);

    // The wander is an Ornstein-Uhlenbeck process stepped exactly, so that any gap between two
    // requests, a millisecond or an hour, gives the same statistics.
    const double keep = std::exp(-elapsed / wanderMemorySeconds);
    const double fresh = std::sqrt(1.0 - keep * keep);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit(-1.0, 1.0);

    ChannelTemperatures result{};
    for (std::size_t i = 0; i < channelCount; ++i) {
        const ChannelProfile &p = profiles()[i];
        m_wander[i] = std::clamp(m_wander[i] * keep + fresh * p.wander * normal(m_random),
                                 -3.0 * p.wander, 3.0 * p.wander);
        const double cycle =
            std::sin(2.0 * std::numbers::pi * m_time / p.periodSeconds + m_phase[i]);
        result[i] = p.base + p.swing * cycle + m_wander[i] + p.noise * unit(m_random);
    }
    return result;
}

} // namespace tervalo::sim
