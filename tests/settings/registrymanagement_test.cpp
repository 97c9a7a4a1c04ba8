#include "tests/settings/storefixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace RegistryManagement {
void PrintTo(const RegValue &v, std::ostream *os)
{
    static const char *kinds[] = {"Empty", "Text", "Number"};
    *os << kinds[int(v.kind)] << '(' << (v.isText() ? '"' + v.text + '"' : v.asText()) << ')';
}
} // namespace RegistryManagement

using namespace RegistryManagement;

namespace {


TEST_F(SettingsStore, SavesKeepTypeAndExactBytes)
{
    struct Case
    {
        std::function<void()> save;
        std::string name;
        uint32_t type;
        std::string bytes;
        RegValue readBack;
        std::string line; // as a person editing the file sees it
    };
    const Case cases[] = {
        {[] { saveTextSetting("Data Output", "r"); },
         "Data Output",
         1,
         {"r\0", 2},
         text("r"),
         "\"Data Output\"=\"r\""},
        {[] { saveTextSetting("Data Output", ""); },
         "Data Output",
         1,
         {"\0", 1},
         text(""),
         "\"Data Output\"=\"\""},
        {[] { saveNumberSetting("Port No", -1); }, "Port No", 4, "\xff\xff\xff\xff", number(-1),
         "\"Port No\"=dword:ffffffff"},
        {[] { saveNumberSetting("Address", 7); },
         "Address",
         4,
         {"\x07\0\0\0", 4},
         number(7),
         "\"Address\"=dword:00000007"},
        {[] { saveNumberSetting("SampleRate", -32768); },
         "SampleRate",
         4,
         {"\0\x80\xff\xff", 4},
         number(-32768),
         "\"SampleRate\"=dword:ffff8000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        c.save();
        const auto value = stored(c.name);
        ASSERT_TRUE(value);
        EXPECT_EQ(value->type, c.type);
        EXPECT_EQ(value->data, c.bytes);
        EXPECT_NE(contents().find(c.line + "\n"), std::string::npos) << contents();
        EXPECT_EQ(setting(c.name), c.readBack);
    }
}

TEST_F(SettingsStore, ReadsWhatOtherToolsStored)
{
    struct Case
    {
        std::string line;
        int32_t status;
        RegValue value;
    };
    const Case cases[] = {
        {R"("V"="3")", 0, text("3")},              // a number setting written as text stays text
        {R"("V"=hex(1):61,62,63)", 0, text("ab")}, // no NUL: the last character is lost
        {R"("V"=hex(1):)", 0, {}},                 // size 0
        {R"("V"=hex(1):00)", 0, text("")},
        {R"("V"=dword:ffffffff)", 0, number(-1)},
        {R"("V"=hex(4):2a,00,00,00)", 0, number(42)},
        {R"("V"=hex:01,02)", -1, {}},    // binary
        {R"("V"=hex(2):25,00)", -1, {}}, // expandable text
        {R"("V"=hex(b):01,00,00,00,00,00,00,00)", -1, {}},
        {R"("Other"="x")", 2, {}}, // no such value
    };
    const RegValue untouched = text("untouched");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        put(SETTINGS_SECTION + c.line + "\n");
        KeyHandle key = 0;
        ASSERT_EQ(registryBackend().openKey(HKEY_CURRENT_USER_ROOT, SETTINGS_KEY, key), 0);
        RegValue out = untouched;
        EXPECT_EQ(readRegValue(key, "V", out), c.status);
        EXPECT_EQ(out, c.value.isEmpty() ? untouched : c.value);
        registryBackend().closeKey(key);
        EXPECT_EQ(setting("V"), c.value);
    }
}

TEST_F(SettingsStore, OutOfReachReadsEmptyAndLosesSavesSilently)
{
    put("not a folder");
    // Below a plain file nothing can be created; a folder where the file should be can't be read.
    for (const fs::path &place : {file / "Tervalo.reg", dir}) {
        SCOPED_TRACE(place.string());
        setStoreFile(place.string());
        EXPECT_NO_THROW(createRegKey(SETTINGS_KEY, HKEY_CURRENT_USER_ROOT));
        EXPECT_NO_THROW(saveTextSetting("Data Output", "c"));
        EXPECT_NO_THROW(saveNumberSetting("Port No", 3));
        EXPECT_EQ(setting("Data Output"), RegValue());
        EXPECT_EQ(setting("Port No"), RegValue());
    }
    EXPECT_EQ(contents(), "not a folder");
    EXPECT_EQ(listing(dir), std::set<std::string>{"Tervalo.reg"});
}

TEST_F(SettingsStore, AwkwardBytesAndNamesSurviveTheFile)
{
    std::string everyByte;
    for (int c = 1; c < 256; ++c)
        everyByte += char(c);
    const std::string texts[] = {"say \"hi\"",
                                 "C:\\temp\\",
                                 "\\\"",
                                 std::string("a\0b", 3),
                                 everyByte,
                                 "  padded  ",
                                 "; [HKEY_CURRENT_USER\\x]",
                                 "=dword:00000001",
                                 "\x80\xff"};
    for (const std::string &t : texts) {
        SCOPED_TRACE(t);
        saveTextSetting("Data Output", t);
        EXPECT_EQ(setting("Data Output"), text(t));
        EXPECT_EQ(stored("Data Output")->data, t + '\0');
        // Plain ASCII lines only, so no editor's guess at an encoding can damage the file.
        const std::string written = contents();
        EXPECT_TRUE(std::all_of(written.begin(), written.end(), [](unsigned char c) {
            return c == '\n' || (c >= 0x20 && c < 0x7f);
        })) << written;
    }
    for (const std::string name : {"we\"ird\\name", "@", "", "[x]", "\xe9t\xe9"}) {
        SCOPED_TRACE(name);
        saveNumberSetting(name, 5);
        EXPECT_EQ(setting(name), number(5));
    }
    EXPECT_EQ(setting("Data Output"), text("\x80\xff"));
}

TEST_F(SettingsStore, TwoInstancesKeepEachOthersValues)
{
    FileBackend first(file.string());
    FileBackend second(file.string());
    setRegistryBackend(&first);
    saveNumberSetting("Port No", 2);
    KeyHandle held = 0;
    ASSERT_EQ(first.openKey(HKEY_CURRENT_USER_ROOT, SETTINGS_KEY, held), 0);

    setRegistryBackend(&second);
    saveTextSetting("Data Output", "f");
    put(contents() + "\"Hand Edit\"=dword:00000009\n");

    setRegistryBackend(&first);
    EXPECT_EQ(writeRegValue(held, "Address", REG_DWORD, number(5)), 0);
    first.closeKey(held);

    EXPECT_EQ(setting("Port No"), number(2));
    EXPECT_EQ(setting("Data Output"), text("f"));
    EXPECT_EQ(setting("Hand Edit"), number(9));
    EXPECT_EQ(setting("Address"), number(5));
}

TEST_F(SettingsStore, HandEditsAreForgiven)
{
    put("\xEF\xBB\xBF; kept by hand\r\n\r\nREGEDIT4\r\n"
        "[hkey_current_user\\SOFTWARE\\quillmar\\tervalo]\r\n"
        "  \"port no\" = DWORD:2 \r\n"
        "; a comment\r\n"
        "\"Data Output\"=hex(1):63,\\\r\n  00\r\n"
        "@=\"C:\\temp\"\r\n");
    saveNumberSetting("Address", 1);
    EXPECT_EQ(setting("Port No"), number(2));
    EXPECT_EQ(setting("Data Output"), text("c"));
    EXPECT_EQ(setting(""), text("C:\\temp"));
    EXPECT_EQ(setting("Address"), number(1));
}

TEST_F(SettingsStore, KeysMustExistToOpenAndCreationMakesParents)
{
    KeyHandle key = 99;
    EXPECT_EQ(registryBackend().openKey(HKEY_CURRENT_USER_ROOT, SETTINGS_KEY, key), 2);
    EXPECT_EQ(key, 0u);
    writeKeyValue(SETTINGS_KEY, "Port No", number(1), REG_DWORD);
    EXPECT_FALSE(fs::exists(file));

    createRegKey(SETTINGS_KEY, HKEY_CURRENT_USER_ROOT);
    for (const char *path : {"Software", "software\\quillmar", SETTINGS_KEY}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(registryBackend().openKey(HKEY_CURRENT_USER_ROOT, path, key), 0);
        EXPECT_EQ(registryBackend().closeKey(key), 0);
    }
    registryBackend().openKey(HKEY_CURRENT_USER_ROOT, SETTINGS_KEY, key);
    EXPECT_EQ(writeRegValue(key, "Binary", 3, text("x")), 0);
    EXPECT_EQ(writeRegValue(key, "Bad", REG_DWORD, text("12abc")), -1);
    EXPECT_EQ(writeRegValue(key, "Port No", REG_DWORD, text("12")), 0);
    registryBackend().closeKey(key);
    EXPECT_FALSE(stored("Binary"));
    EXPECT_FALSE(stored("Bad"));
    EXPECT_EQ(setting("Port No"), number(12));
}

TEST_F(SettingsStore, SavesReplaceTheFileWholeInPrivateFolders)
{
    const fs::path nested = dir / "Quillmar" / "deeper" / "Tervalo.reg";
    setStoreFile(nested.string());
    for (int16_t i = 0; i < 20; ++i)
        saveNumberSetting("Port No", i);
    EXPECT_EQ(setting("Port No"), number(19));
#ifdef _WIN32
    EXPECT_EQ(listing(nested.parent_path()), std::set<std::string>{"Tervalo.reg"});
#else
    EXPECT_EQ(listing(nested.parent_path()),
              (std::set<std::string>{"Tervalo.reg", "Tervalo.reg.lock"}));
    EXPECT_EQ(fs::status(dir / "Quillmar").permissions(), fs::perms::owner_all);
#endif
}

#ifndef _WIN32
TEST_F(SettingsStore, KilledMidSaveLeavesOldOrNewValueWhole)
{
    const auto valueFor = [](int round) {
        return std::string(3000, char('a' + round % 26)) + std::to_string(round);
    };
    std::string current = valueFor(0);
    saveTextSetting("Data Output", current);
    // Kill at moments spread over twice what one child needs to start and finish a save, so the
    // kills land before, during and after saves whatever this machine's fork and fsync cost.
    using namespace std::chrono;
    const auto started = steady_clock::now();
    if (const pid_t probe = fork(); probe == 0) {
        saveTextSetting("Data Output", current);
        _exit(0);
    } else {
        waitpid(probe, nullptr, 0);
    }
    const auto window = std::clamp(duration_cast<microseconds>(2 * (steady_clock::now() - started)),
                                   microseconds(1000), microseconds(40000));
    std::mt19937 random(20240);
    int changes = 0;
    const auto deadline = steady_clock::now() + seconds(8);
    for (int round = 1; round <= 200 && steady_clock::now() < deadline; ++round) {
        const std::string next = valueFor(round);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            for (;;)
                saveTextSetting("Data Output", next);
        std::this_thread::sleep_for(microseconds(random() % window.count()));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);

        ASSERT_TRUE(parseStoreText(contents())) << "round " << round;
        const RegValue got = setting("Data Output");
        ASSERT_TRUE(got == text(current) || got == text(next)) << "round " << round;
        changes += got.text != current;
        current = got.text;
    }
    EXPECT_GT(changes, 0) << "no save ever finished; the kills proved nothing";
}

TEST(SettingsStoreFile, DefaultLocationFollowsXdgThenHome)
{
    const auto keep = [](const char *name) {
        const char *v = std::getenv(name);
        return v ? std::optional<std::string>(v) : std::nullopt;
    };
    const auto set = [](const char *name, const std::optional<std::string> &v) {
        v ? setenv(name, v->c_str(), 1) : unsetenv(name);
    };
    const auto xdg = keep("XDG_CONFIG_HOME");
    const auto home = keep("HOME");
    struct Case
    {
        std::optional<std::string> xdg;
        std::string expected;
    };
    const Case cases[] = {
        {"/cfg", "/cfg/Quillmar/Tervalo.reg"},
        {std::nullopt, "/home/u/.config/Quillmar/Tervalo.reg"},
        {"", "/home/u/.config/Quillmar/Tervalo.reg"},
        {"relative", "/home/u/.config/Quillmar/Tervalo.reg"},
    };
    set("HOME", "/home/u");
    for (const Case &c : cases) {
        set("XDG_CONFIG_HOME", c.xdg);
        EXPECT_EQ(storeFile(), c.expected);
    }
    set("XDG_CONFIG_HOME", xdg);
    set("HOME", home);
}
#endif

} // namespace
