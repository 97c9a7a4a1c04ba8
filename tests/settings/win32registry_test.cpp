// The store on the Windows registry itself. Run under Wine in CI, in a throwaway prefix, so the
// "A" calls, the access rights and the NUL and sign rules meet a real registry implementation.

#ifdef _WIN32

#include "settings/registryfile.h"
#include "settings/registrymanagement.h"
#include "settings/startupsettings.h"

#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <string>

using RegistryManagement::RegValue;

namespace {

constexpr const char *key = RegistryManagement::SETTINGS_KEY;

class Win32Registry : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegistryManagement::setRegistryBackend(nullptr); // the registry, not the file
        RegDeleteTreeA(HKEY_CURRENT_USER, key);
    }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, key); }

    // What another tool writes, byte for byte.
    static void putRaw(const char *name, DWORD type, const std::string &bytes)
    {
        HKEY h = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &h, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(h, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                       DWORD(bytes.size()));
        RegCloseKey(h);
    }
    // What the registry holds, as another tool reads it.
    static std::pair<DWORD, std::string> getRaw(const char *name)
    {
        HKEY h = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &h) != ERROR_SUCCESS)
            return {0, "<no key>"};
        DWORD type = 0;
        BYTE data[256];
        DWORD size = sizeof data;
        const LONG rc = RegQueryValueExA(h, name, nullptr, &type, data, &size);
        RegCloseKey(h);
        if (rc != ERROR_SUCCESS)
            return {0, "<no value>"};
        return {type, std::string(reinterpret_cast<char *>(data), size)};
    }
    static RegValue read(const char *name) { return RegistryManagement::readKeyValue(key, name); }
};

TEST_F(Win32Registry, SavesStoreTheTypesAndBytes)
{
    RegistryManagement::saveTextSetting("Data Output", "r");
    EXPECT_EQ(getRaw("Data Output"), std::make_pair(DWORD(REG_SZ), std::string("r\0", 2)));
    RegistryManagement::saveNumberSetting("Port No", -1);
    EXPECT_EQ(getRaw("Port No"), std::make_pair(DWORD(REG_DWORD), std::string("\xff\xff\xff\xff")));
    EXPECT_EQ(read("Port No"), RegValue::fromNumber(-1));
    EXPECT_EQ(read("Data Output"), RegValue::fromText("r"));
}

TEST_F(Win32Registry, ReadsWhatOtherToolsStored)
{
    putRaw("SampleRate", REG_SZ, std::string("3\0", 2));
    EXPECT_EQ(read("SampleRate"), RegValue::fromText("3"));

    putRaw("Empty", REG_SZ, std::string());
    EXPECT_EQ(read("Empty"), RegValue());

    putRaw("Binary", REG_BINARY, "\x01\x02");
    putRaw("Expandable", REG_EXPAND_SZ, std::string("%TEMP%\0", 7));
    for (const char *name : {"Binary", "Expandable"}) {
        HKEY h = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_READ, &h), ERROR_SUCCESS);
        RegValue value;
        EXPECT_EQ(RegistryManagement::readRegValue(reinterpret_cast<RegistryManagement::KeyHandle>(h),
                                                   name, value),
                  -1)
            << name;
        EXPECT_TRUE(value.isEmpty()) << name;
        RegCloseKey(h);
    }
    EXPECT_EQ(read("Missing"), RegValue());
}

TEST_F(Win32Registry, TextWithoutItsNulLosesTheLastCharacter)
{
    putRaw("Data Output", REG_SZ, "cf");
    // Windows reports the two bytes as stored and the store drops the last one, taking it for
    // the NUL. Wine adds a NUL of its own when a text arrives without one, and reports three
    // bytes, so there the text reads back whole. The rule both keep: the last byte reported is
    // dropped, and nothing else.
    const auto [type, bytes] = getRaw("Data Output");
    ASSERT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(read("Data Output"), RegValue::fromText(bytes.substr(0, bytes.size() - 1)));
}

TEST_F(Win32Registry, FirstStartCreatesTheDefaults)
{
    RegistryManagement::ensureDefaultSettings();
    for (const char *name : {"Channel 1", "Channel 6", "Port No", "SampleRate", "Address"})
        EXPECT_EQ(getRaw(name).first, DWORD(REG_DWORD)) << name;
    EXPECT_EQ(read("Update Time"), RegValue::fromNumber(1));
    EXPECT_EQ(getRaw("Data Output"), std::make_pair(DWORD(REG_SZ), std::string("r\0", 2)));
}

// The settings file as the registry editor imports it: texts beyond ASCII arrive as they were.
TEST_F(Win32Registry, RegistryEditorImportsTheFileAsWritten)
{
    struct Case
    {
        const char *utf8;
        const wchar_t *wide;
    };
    const Case cases[] = {
        {"K\xc3\xbc" "che", L"K\u00fcche"}, // stays an 8-bit file, in Windows-1252
        {"K\xc3\xbc" "che 30\xc2\xb0" "C \xe2\x80\x93 \xce\x94\xe2\x82\xac",
         L"K\u00fcche 30\u00b0C \u2013 \u0394\u20ac"}, // the file becomes UTF-16
    };
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / "tervalo-regedit-import.reg";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.utf8);
        std::filesystem::remove(file);
        RegistryManagement::FileBackend store(file.string());
        RegistryManagement::setRegistryBackend(&store);
        RegistryManagement::saveTextSetting("Note", c.utf8);
        RegistryManagement::setRegistryBackend(nullptr);

        std::wstring command = L"regedit.exe /s \"" + file.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process));
        WaitForSingleObject(process.hProcess, 60000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);

        wchar_t data[256] = {};
        DWORD size = sizeof data;
        ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Quillmar\\Tervalo", L"Note",
                               RRF_RT_REG_SZ, nullptr, data, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::wstring(data), std::wstring(c.wide));
        RegDeleteTreeA(HKEY_CURRENT_USER, key);
    }
    std::filesystem::remove(file);
}

} // namespace

#endif // _WIN32
