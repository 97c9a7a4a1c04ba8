// The settings store where there is no registry: the current user's registry tree kept in one
// text file, in the format of registry export files so a person can read and edit it, e.g.
//
//     Windows Registry Editor Version 5.00
//
//     [HKEY_CURRENT_USER\Software\Quillmar\Tervalo]
//     "Data Output"="r"
//     "Port No"=dword:00000000
//
// The file lives at $XDG_CONFIG_HOME/Quillmar/Tervalo.reg, or ~/.config/Quillmar/Tervalo.reg
// when XDG_CONFIG_HOME is unset or empty.
//
// The file keeps exact bytes and registry types. A text value is written as "Name"="text" only
// when it is printable ASCII ending in its one NUL; anything else (no NUL, other bytes, binary,
// any other type) is written as hex(type):aa,bb,... so nothing is lost in the round trip.

#pragma once

#include "settings/registrymanagement.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace RegistryManagement {

struct StoreValue
{
    std::string name; // "" is the key's default value, written as @
    uint32_t type = 0;
    std::string data; // the stored bytes, a REG_SZ's NUL included
    bool operator==(const StoreValue &) const = default;
};

struct StoreKey
{
    std::string path; // below HKEY_CURRENT_USER, parts joined by '\'; "" is the root itself
    std::vector<StoreValue> values;
    bool operator==(const StoreKey &) const = default;

    // Names compare without regard to ASCII case, as in the registry.
    StoreValue *findValue(std::string_view name);
    void setValue(StoreValue value);
};

// Every key with all of its parents before it, in the order they appear in the file.
struct StoreTree
{
    std::vector<StoreKey> keys;
    bool operator==(const StoreTree &) const = default;

    StoreKey *findKey(std::string_view path);
    // Adds the key and every missing parent; returns the key.
    StoreKey &ensureKey(std::string_view path);
};

// Reads the text of a store file. nullopt when the text is not a store file or is damaged
// anywhere: a half-understood file is not trusted for any of its values. Blank lines, ';'
// comments, CRLF line ends, stray blanks and regedit's wrapped hex lines are fine.
std::optional<StoreTree> parseStoreText(std::string_view text);
// The text parseStoreText reads back as the same tree.
std::string formatStoreText(const StoreTree &tree);

// The per-user location described above; "" when there is no home folder to be found.
std::string defaultStoreFile();
// The file the store uses: the one set with setStoreFile, else the default.
std::string storeFile();
// Points the store somewhere else (tests, a portable install); "" goes back to the default.
void setStoreFile(std::string path);

class FileBackend final : public RegistryBackend
{
public:
    // With no path the backend follows storeFile().
    explicit FileBackend(std::string path = {});

    int32_t openKey(KeyHandle root, const std::string &path, KeyHandle &out) override;
    int32_t createKey(KeyHandle root, const std::string &path, KeyHandle &out) override;
    int32_t queryValue(KeyHandle key, const std::string &name, uint32_t *type, uint8_t *data,
                       uint32_t *size) override;
    int32_t setValue(KeyHandle key, const std::string &name, uint32_t type, const uint8_t *data,
                     uint32_t size) override;
    int32_t closeKey(KeyHandle key) override;

private:
    std::string file() const;
    int32_t resolve(KeyHandle root, const std::string &path, std::string &full) const;
    KeyHandle remember(std::string path);

    std::string m_path;
    std::map<KeyHandle, std::string> m_open; // handle -> key path
    KeyHandle m_next = 1;
};

} // namespace RegistryManagement
