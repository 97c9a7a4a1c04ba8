// The private settings file every settings test works on, and the helpers to look at it.
#pragma once

#include "settings/registryfile.h"
#include "settings/registrymanagement.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace settingstest {

using namespace RegistryManagement;

inline const std::string SETTINGS_SECTION = "Windows Registry Editor Version 5.00\n\n"
                                     "[HKEY_CURRENT_USER\\Software\\Quillmar\\Tervalo]\n";

inline RegValue text(std::string t)
{
    return RegValue::fromText(std::move(t));
}
inline RegValue number(int32_t n)
{
    return RegValue::fromNumber(n);
}
inline RegValue setting(const std::string &name)
{
    return readKeyValue(SETTINGS_KEY, name);
}

class SettingsStore : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("tervalo-settings-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir);
        file = dir / "Tervalo.reg";
        setStoreFile(file.string());
        // Never the real registry, on Windows neither.
        setRegistryBackend(&fileStore);
    }
    void TearDown() override
    {
        setRegistryBackend(nullptr);
        setStoreFile({});
        fs::remove_all(dir);
    }

    void put(const std::string &contents) { std::ofstream(file, std::ios::binary) << contents; }
    std::string contents() const { return contents(file); }
    static std::string contents(const fs::path &of)
    {
        std::ifstream in(of, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // What the file holds for a setting, as another tool would see it.
    std::optional<StoreValue> stored(const std::string &name) const
    {
        auto tree = parseStoreText(contents());
        StoreKey *key = tree ? tree->findKey(SETTINGS_KEY) : nullptr;
        StoreValue *value = key ? key->findValue(name) : nullptr;
        return value ? std::optional(*value) : std::nullopt;
    }
    static std::set<std::string> listing(const fs::path &folder)
    {
        std::set<std::string> names;
        for (const auto &entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }
    // The files beside the store whose names begin with `prefix`.
    std::set<std::string> beside(const std::string &prefix) const
    {
        std::set<std::string> names;
        for (const std::string &name : listing(dir))
            if (name.rfind(prefix, 0) == 0)
                names.insert(name);
        return names;
    }
    // What the registry editor saves: UTF-16LE with its mark. Every byte is taken as the
    // character of the same number.
    static std::string utf16(const std::string &latin1)
    {
        std::string out = "\xff\xfe";
        for (char c : latin1) {
            out += c;
            out += '\0';
        }
        return out;
    }

    FileBackend fileStore;
    fs::path dir;
    fs::path file;
};

} // namespace settingstest

using namespace settingstest;
using namespace RegistryManagement;
