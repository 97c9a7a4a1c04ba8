// Settings at start-up: every missing setting gets its default on the first run, and every start
// puts the stored choices back into the window. Part of the settings module; standard C++ only,
// so the window hands itself over through the small interface below.

#pragma once

#include "settings/registrymanagement.h"

#include <cstdint>
#include <optional>
#include <string>

namespace RegistryManagement {

// What the start-up step writes into the main window.
class SettingsWindow
{
public:
    virtual ~SettingsWindow() = default;
    // The check box of channel index 0..5: 0 unchecked, 1 checked.
    virtual void setChannelValue(int index, int16_t value) = 0;
    virtual void setAddressText(const std::string &text) = 0;
    // Selects the unit option for a stored unit letter.
    virtual void setDataOutputValueToTrue(const std::string &dataOutput) = 0;
};

void ensureDefaultSettings();
// Whether a continuous run outlasts its failures: "Keep Running" is 1. Missing, or anything else
// (a typo, a text), is off, the behaviour of a program that never had the switch.
bool savedKeepRunning();

// What the start-up step read for the window to apply later: the remembered list positions,
// which only mean something once the window has filled its lists. Each is the stored number as
// it is, possibly beyond today's list; the list decides what that selects.
struct AppliedSettings
{
    int16_t portListPosition = 0;
    int16_t rateListPosition = 0;
};
// Puts the stored choices into the window's controls and returns the list positions.
[[nodiscard]] AppliedSettings applySettings(SettingsWindow &window);

// The conversions used when a stored value is applied. A text is read as a decimal number;
// nothing comes back for a value that is no 16-bit number at all.
std::optional<int16_t> toInt16(const RegValue &value);
// Compared with the empty text: true for empty and for "".
bool isEmptyText(const RegValue &value);
// Compared with the number 0: true for empty and for the number 0.
bool isZero(const RegValue &value);

} // namespace RegistryManagement
