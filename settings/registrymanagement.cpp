#include "settings/registrymanagement.h"

#include "settings/registryfile.h"

#include <charconv>
#include <utility>

namespace RegistryManagement {

#ifdef _WIN32
RegistryBackend &win32Registry(); // registrywin32.cpp
#endif

namespace {

RegistryBackend *g_backend = nullptr;

// Closes a key on every way out of a primitive, a thrown error included.
class KeyGuard
{
public:
    KeyHandle handle = 0;

    KeyGuard() = default;
    KeyGuard(const KeyGuard &) = delete;
    KeyGuard &operator=(const KeyGuard &) = delete;
    ~KeyGuard()
    {
        if (handle == 0)
            return;
        try {
            registryBackend().closeKey(handle);
        } catch (...) {
        }
    }
};

// The conversion the store applies before writing a REG_DWORD: empty counts as 0 and a text
// must be a plain decimal number in range.
bool toNumber(const RegValue &value, int32_t &out)
{
    switch (value.kind) {
    case RegValue::Kind::Empty:
        out = 0;
        return true;
    case RegValue::Kind::Number:
        out = value.number;
        return true;
    case RegValue::Kind::Text: {
        const char *first = value.text.data();
        const char *last = first + value.text.size();
        auto [end, ec] = std::from_chars(first, last, out);
        return ec == std::errc() && end == last;
    }
    }
    return false;
}

} // namespace

std::string RegValue::asText() const
{
    switch (kind) {
    case Kind::Text:
        return text;
    case Kind::Number:
        return std::to_string(number);
    case Kind::Empty:
        break;
    }
    return {};
}

RegistryBackend &registryBackend()
{
    if (g_backend)
        return *g_backend;
#ifdef _WIN32
    return win32Registry();
#else
    static FileBackend userFile;
    return userFile;
#endif
}

void setRegistryBackend(RegistryBackend *backend)
{
    g_backend = backend;
}

int32_t writeRegValue(KeyHandle key, const std::string &valueName, int32_t type,
                      const RegValue &value)
{
    try {
        if (type == REG_SZ) {
            std::string data = value.asText();
            data.push_back('\0'); // the NUL is part of the stored value and of its length
            return registryBackend().setValue(key, valueName, REG_SZ,
                                              reinterpret_cast<const uint8_t *>(data.data()),
                                              static_cast<uint32_t>(data.size()));
        }
        if (type == REG_DWORD) {
            int32_t number = 0;
            if (!toNumber(value, number))
                return -1;
            // Registry DWORDs are little-endian whatever the host is.
            const auto bits = static_cast<uint32_t>(number);
            const uint8_t data[4] = {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                                     static_cast<uint8_t>(bits >> 16),
                                     static_cast<uint8_t>(bits >> 24)};
            return registryBackend().setValue(key, valueName, REG_DWORD, data, sizeof data);
        }
    } catch (...) {
        return -1;
    }
    return 0;
}

int32_t readRegValue(KeyHandle key, const std::string &valueName, RegValue &out)
{
    int32_t status = 0;
    try {
        RegistryBackend &reg = registryBackend();
        uint32_t type = 0;
        uint32_t size = 0;
        status = reg.queryValue(key, valueName, &type, nullptr, &size);
        if (status != 0)
            return status;

        if (type == REG_SZ) {
            std::string buffer(size, '\0');
            status = reg.queryValue(key, valueName, &type,
                                    reinterpret_cast<uint8_t *>(buffer.data()), &size);
            if (status != 0) {
                out = {};
                return status;
            }
            // A text stored with no bytes at all has no NUL to drop; it reads as nothing.
            if (size == 0 || size > buffer.size())
                return status;
            buffer.resize(size - 1);
            out = RegValue::fromText(std::move(buffer));
            return status;
        }
        if (type == REG_DWORD) {
            uint8_t data[4] = {};
            size = sizeof data;
            status = reg.queryValue(key, valueName, &type, data, &size);
            if (status == 0) {
                const uint32_t bits = data[0] | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                                      uint32_t(data[3]) << 24;
                out = RegValue::fromNumber(static_cast<int32_t>(bits));
            }
            return status;
        }
        return -1;
    } catch (...) {
        return status;
    }
}

void createRegKey(const std::string &path, KeyHandle root)
{
    try {
        KeyGuard key;
        registryBackend().createKey(root, path, key.handle);
    } catch (...) {
    }
}

void writeKeyValue(const std::string &path, const std::string &valueName, const RegValue &value,
                   int32_t type)
{
    try {
        // A failed open leaves the handle at 0, and the write then fails on its own.
        KeyGuard key;
        registryBackend().openKey(HKEY_CURRENT_USER_ROOT, path, key.handle);
        writeRegValue(key.handle, valueName, type, value);
    } catch (...) {
    }
}

RegValue readKeyValue(const std::string &path, const std::string &valueName)
{
    RegValue value;
    try {
        KeyGuard key;
        registryBackend().openKey(HKEY_CURRENT_USER_ROOT, path, key.handle);
        readRegValue(key.handle, valueName, value);
    } catch (...) {
        return {};
    }
    return value;
}

void saveNumberSetting(const std::string &name, int16_t value)
{
    createRegKey(SETTINGS_KEY, HKEY_CURRENT_USER_ROOT);
    writeKeyValue(SETTINGS_KEY, name, RegValue::fromNumber(value), REG_DWORD);
}

void saveTextSetting(const std::string &name, const std::string &text)
{
    createRegKey(SETTINGS_KEY, HKEY_CURRENT_USER_ROOT);
    writeKeyValue(SETTINGS_KEY, name, RegValue::fromText(text), REG_SZ);
}

} // namespace RegistryManagement
