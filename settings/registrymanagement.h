// The settings store: the user's choices kept between runs under one key of the current
// user's registry hive. Two layers: five registry primitives that know nothing of the settings,
// and the save operations the window's handlers call when a control commits its value.
//
// Every read and write opens the key, does one thing and closes it again, so what another
// instance (or a hand edit) wrote is always what we see; the file store keeps the parsed file
// only while the file is unchanged (registryfile.h).
// Nothing here reports to the user or throws to the caller; a failure yields an empty read or a
// lost write.
//
// On Windows the store is the registry itself. Elsewhere it is a per-user text file in the
// registry export format, see registryfile.h for where it lives and what it looks like.

#pragma once

#include <cstdint>
#include <string>

// <windows.h> defines REG_SZ and REG_DWORD as macros; keep them from mangling the constants below
// in any file that happens to include both.
#pragma push_macro("REG_SZ")
#pragma push_macro("REG_DWORD")
#undef REG_SZ
#undef REG_DWORD

namespace RegistryManagement {

// What a read yields: nothing, a text (bytes one to one, in the system's code page) or a signed
// 32-bit number.
struct RegValue
{
    enum class Kind { Empty, Text, Number };

    Kind kind = Kind::Empty;
    std::string text;   // only meaningful for Kind::Text
    int32_t number = 0; // only meaningful for Kind::Number

    static RegValue fromText(std::string t) { return {Kind::Text, std::move(t), 0}; }
    static RegValue fromNumber(int32_t n) { return {Kind::Number, {}, n}; }

    bool isEmpty() const { return kind == Kind::Empty; }
    bool isText() const { return kind == Kind::Text; }
    bool isNumber() const { return kind == Kind::Number; }

    // Empty gives "", a number its decimal digits with a leading '-' when negative.
    std::string asText() const;

    bool operator==(const RegValue &) const = default;
};

// A key handle as the registry hands it out. The two roots carry the registry's own values.
using KeyHandle = std::uintptr_t;
inline constexpr KeyHandle HKEY_CURRENT_USER_ROOT = 0x80000001;
inline constexpr KeyHandle HKEY_LOCAL_MACHINE_ROOT = 0x80000002;

inline constexpr int32_t REG_SZ = 1;
inline constexpr int32_t REG_DWORD = 4;

// Relative to the current user's root.
inline constexpr const char *SETTINGS_KEY = "Software\\Quillmar\\Tervalo";

// --- Registry primitives -------------------------------------------------------------------

// Writes one value: REG_SZ as the value's text plus one counted NUL, REG_DWORD as a signed
// 32-bit number in 4 bytes. Any other type writes nothing and returns 0. A text that is not a
// decimal number cannot become a REG_DWORD: nothing is written and -1 is returned. Otherwise
// returns 0 or the registry's error code.
int32_t writeRegValue(KeyHandle key, const std::string &valueName, int32_t type,
                      const RegValue &value);

// Reads one REG_SZ (the stored bytes less the last one, taken to be the NUL) or REG_DWORD value.
// Returns 0, the registry's error code when the value cannot be queried, or -1 for a value of
// another type. `out` is only changed by a successful read.
int32_t readRegValue(KeyHandle key, const std::string &valueName, RegValue &out);

// Creates the key and every missing key on its path below `root`, and closes it at once.
void createRegKey(const std::string &path, KeyHandle root);

// Open the key under the current user's root, write or read one value, close the key.
void writeKeyValue(const std::string &path, const std::string &valueName, const RegValue &value,
                   int32_t type);
RegValue readKeyValue(const std::string &path, const std::string &valueName);

// --- Save operations -----------------------------------------------------------------------

// Make sure the settings key exists, then store the value under `name`. Numbers are widened to
// 32 bits with their sign, so -1 is stored as 0xFFFFFFFF.
void saveNumberSetting(const std::string &name, int16_t value);
void saveTextSetting(const std::string &name, const std::string &text);

// --- Backend -------------------------------------------------------------------------------

// The handful of registry calls the primitives need, shaped like their Win32 counterparts so
// the Windows backend is a straight pass-through. Status codes are Win32 error codes.
class RegistryBackend
{
public:
    virtual ~RegistryBackend() = default;

    // `root` is one of the root handles or a key opened earlier. On failure `out` is 0.
    virtual int32_t openKey(KeyHandle root, const std::string &path, KeyHandle &out) = 0;
    // Like openKey, but creates the key and its missing parents first.
    virtual int32_t createKey(KeyHandle root, const std::string &path, KeyHandle &out) = 0;
    // With `data` null only the type and size in bytes are reported. Otherwise `*size` is the
    // buffer's capacity on entry and the bytes stored on return; a buffer too small fails with
    // ERROR_MORE_DATA (234) and reports the needed size.
    virtual int32_t queryValue(KeyHandle key, const std::string &name, uint32_t *type,
                               uint8_t *data, uint32_t *size) = 0;
    virtual int32_t setValue(KeyHandle key, const std::string &name, uint32_t type,
                             const uint8_t *data, uint32_t size) = 0;
    virtual int32_t closeKey(KeyHandle key) = 0;
};

// The backend in use: the one set below, or the platform's own (the registry on Windows, the
// per-user file elsewhere).
RegistryBackend &registryBackend();
// Tests use this to put the store somewhere else; nullptr goes back to the platform's own.
void setRegistryBackend(RegistryBackend *backend);

} // namespace RegistryManagement

#pragma pop_macro("REG_DWORD")
#pragma pop_macro("REG_SZ")
