// The store on Windows: the registry itself, called as directly as the interface allows.

#include "settings/registrymanagement.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace RegistryManagement {

namespace {

// Query, set, create subkey, enumerate, notify and create link: the key-specific rights, asked
// for reading too, so one open serves every primitive.
constexpr REGSAM KEY_RIGHTS = 0x3F;

class Win32Registry final : public RegistryBackend
{
public:
    int32_t openKey(KeyHandle root, const std::string &path, KeyHandle &out) override
    {
        HKEY key = nullptr;
        const LONG rc = RegOpenKeyExA(toHkey(root), path.c_str(), 0, KEY_RIGHTS, &key);
        out = rc == ERROR_SUCCESS ? reinterpret_cast<KeyHandle>(key) : 0;
        return rc;
    }

    int32_t createKey(KeyHandle root, const std::string &path, KeyHandle &out) override
    {
        HKEY key = nullptr;
        const LONG rc =
            RegCreateKeyExA(toHkey(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_RIGHTS, nullptr, &key, nullptr);
        out = rc == ERROR_SUCCESS ? reinterpret_cast<KeyHandle>(key) : 0;
        return rc;
    }

    int32_t queryValue(KeyHandle key, const std::string &name, uint32_t *type, uint8_t *data,
                       uint32_t *size) override
    {
        DWORD storedType = 0;
        DWORD bytes = size ? *size : 0;
        const LONG rc = RegQueryValueExA(toHkey(key), name.c_str(), nullptr, &storedType, data,
                                         size ? &bytes : nullptr);
        if (type)
            *type = storedType;
        if (size)
            *size = bytes;
        return rc;
    }

    int32_t setValue(KeyHandle key, const std::string &name, uint32_t type, const uint8_t *data,
                     uint32_t size) override
    {
        return RegSetValueExA(toHkey(key), name.c_str(), 0, type, data, size);
    }

    int32_t closeKey(KeyHandle key) override { return RegCloseKey(toHkey(key)); }

private:
    // The root constants carry the registry's 32-bit values; the real handles are those values
    // sign-extended, which is what the system's own macros give.
    static HKEY toHkey(KeyHandle handle)
    {
        if (handle == HKEY_CURRENT_USER_ROOT)
            return HKEY_CURRENT_USER;
        if (handle == HKEY_LOCAL_MACHINE_ROOT)
            return HKEY_LOCAL_MACHINE;
        return reinterpret_cast<HKEY>(handle);
    }
};

} // namespace

RegistryBackend &win32Registry()
{
    static Win32Registry registry;
    return registry;
}

} // namespace RegistryManagement
