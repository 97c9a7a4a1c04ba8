#pragma once

namespace tervalo {

// The card has six thermocouple channels; every array of them, every loop over them and every
// record's six items count on this one number.
inline constexpr int channelCount = 6;

} // namespace tervalo
