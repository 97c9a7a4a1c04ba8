// The settings file as people and other programs treat it: edited by hand, saved by the registry
// editor, replaced by something else, linked, made read-only, and written by two copies at once.
#include "tests/settings/storefixture.h"

#include "settings/startupsettings.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

#ifndef _WIN32
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

TEST_F(SettingsStore, SavesChangeOnlyTheirOwnLine)
{
    const std::string before = "; Tervalo on the bench PC in the K\xfc"
                               "che\r\n"
                               "Windows Registry Editor Version 5.00\r\n\r\n"
                               "[HKCU\\Software\\Quillmar\\Tervalo]\r\n"
                               "\"Port No\"=dword:00000003 ; the USB adapter\r\n"
                               "\"Colour\"=\"gr\xfcn\"\r\n"
                               "\"Data Output\"=c\r\n\r\n"
                               "[HKEY_LOCAL_MACHINE\\Software\\Quillmar]\r\n"
                               "\"Address\"=dword:00000006\r\n";
    const std::string after = "; Tervalo on the bench PC in the K\xfc"
                              "che\r\n"
                              "Windows Registry Editor Version 5.00\r\n\r\n"
                              "[HKCU\\Software\\Quillmar\\Tervalo]\r\n"
                              "\"Port No\"=dword:00000005 ; the USB adapter\r\n"
                              "\"Colour\"=\"gr\xfcn\"\r\n"
                              "\"Data Output\"=c\r\n"
                              "\"Data Output\"=\"f\"\r\n"
                              "\"Address\"=dword:00000002\r\n\r\n"
                              "[HKEY_LOCAL_MACHINE\\Software\\Quillmar]\r\n"
                              "\"Address\"=dword:00000006\r\n";
    struct Case
    {
        const char *encoding;
        std::function<std::string(const std::string &)> encode;
        RegValue colour;
    };
    const Case cases[] = {
        // Both read as this system's UTF-8: an 8-bit file's text is Windows-1252.
        {"8-bit", [](const std::string &s) { return s; }, text("gr\xc3\xbcn")},
        {"UTF-16LE", utf16, text("gr\xc3\xbcn")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.encoding);
        put(c.encode(before));
        EXPECT_EQ(setting("Port No"), number(3));
        EXPECT_EQ(setting("Colour"), c.colour);
        EXPECT_EQ(setting("Data Output"), RegValue()); // mistyped: its default applies
        EXPECT_EQ(setting("Address"), RegValue());     // another root's value is not ours
        saveNumberSetting("Port No", 5);
        saveTextSetting("Data Output", "f");
        saveNumberSetting("Address", 2);
        EXPECT_EQ(contents(), c.encode(after));
        EXPECT_EQ(setting("Data Output"), text("f"));
    }
}

TEST_F(SettingsStore, OneMistakeCostsOnlyThatLine)
{
    const std::string good = SETTINGS_SECTION + "\"Port No\"=dword:00000003\n";
    struct Case
    {
        std::string file;
        RegValue port;
        RegValue unit;
    };
    const Case cases[] = {
        {good + "\"Data Output\"=c\n", number(3), {}},
        {good + "\"Data Output\"=\"r", number(3), {}},
        {good + "\"Data Output\"=hex(1):4g\n", number(3), {}},
        {good + "\"Data Output\"=hex(1):63,\\\n", number(3), {}}, // continued past the end
        {good + "\"Address\"=dword:123456789\n", number(3), {}},
        {good + "\"Data Output\"=\"c\" ; Celsius\n", number(3), text("c")},
        {good + "\"Port No\"=-\n", {}, {}},
        {good + "\"Data Output\"=\"c\"\n@=-\n\"data output\"= - ;gone\n", number(3), {}},
        {good + "[-HKEY_CURRENT_USER\\Software]\n", {}, {}},
        {good + "[HKEY_LOCAL_MACHINE\\Software]\n\"Data Output\"=\"c\"\n", number(3), {}},
        // Below a broken key line values belong to no key.
        {good + "[HKEY_CURRENT_USER\\Software\\Quillmar\\Tervalo\n\"Data Output\"=\"c\"\n",
         number(3),
         {}},
        {good.substr(good.find('[')), number(3), {}}, // no header line
        {good.substr(0, good.find("word:")), {}, {}},
        {good.substr(0, good.find("Tervalo]")), {}, {}},
        {"REGEDIT4\n[hkcu\\software\\quillmar\\tervalo] ; mine\n\"port no\"=hex(4):03,\\\n"
         "  00,00,00\n\"Data Output\"=\"f\"",
         number(3), text("f")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        put(c.file);
        EXPECT_EQ(setting("Port No"), c.port);
        EXPECT_EQ(setting("Data Output"), c.unit);
        saveNumberSetting("Address", 4);
        // Every line kept; the save added its own line (and its key's section if need be).
        std::string after = contents();
        const size_t added = after.find("\"Address\"=dword:00000004\n");
        ASSERT_NE(added, std::string::npos) << after;
        after.erase(added, 25);
        EXPECT_EQ(after.substr(0, c.file.size()), c.file);
        EXPECT_EQ(setting("Address"), number(4));
        EXPECT_EQ(setting("Port No"), c.port);
        EXPECT_EQ(setting("Data Output"), c.unit);
    }
    EXPECT_TRUE(beside("Tervalo.reg.bad-").empty());
}

TEST_F(SettingsStore, FileThatIsNoSettingsFileIsPutAsideNotOverwritten)
{
    struct Case
    {
        std::string bytes;
        bool putAside;
    };
    const Case cases[] = {
        {std::string("\0\x01garbage\xff", 10), true},
        {"Dear diary,\ntoday the card read 21 degrees.\n", true},
        {utf16("Win"), true},
        {utf16(SETTINGS_SECTION).substr(2), true}, // UTF-16 without its mark
        {"", false},
        {"; only notes so far\n", false},
    };
    const std::regex stamped(R"(Tervalo\.reg\.bad-\d{8}-\d{6})");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes);
        put(c.bytes);
        EXPECT_EQ(setting("Port No"), RegValue());
        EXPECT_EQ(contents(), c.bytes); // reading changes nothing
        saveNumberSetting("Port No", 2);
        EXPECT_EQ(setting("Port No"), number(2));
        const std::set<std::string> aside = beside("Tervalo.reg.bad-");
        ASSERT_EQ(aside.size(), c.putAside ? 1u : 0u);
        if (c.putAside) {
            EXPECT_TRUE(std::regex_match(*aside.begin(), stamped)) << *aside.begin();
            EXPECT_EQ(contents(dir / *aside.begin()), c.bytes);
            EXPECT_EQ(contents(), SETTINGS_SECTION + "\"Port No\"=dword:00000002\n");
            fs::remove(dir / *aside.begin());
        } else {
            EXPECT_NE(contents().find(c.bytes), std::string::npos);
        }
    }
}

TEST_F(SettingsStore, SaveRemovesWhatKilledSavesLeftBehind)
{
    const std::string leftovers[] = {"Tervalo.reg.tmp-Xy12Ab", "Tervalo.reg.tmp-4242"};
    const std::string others[] = {"Tervalo.reg.tmpl", "Other.reg.tmp-Xy12Ab", "Tervalo.reg.bak"};
    for (const std::string &name : leftovers)
        std::ofstream(dir / name) << "half a file";
    for (const std::string &name : others)
        std::ofstream(dir / name) << "not ours";
    saveNumberSetting("Port No", 1);
    const std::set<std::string> names = listing(dir);
    for (const std::string &name : leftovers)
        EXPECT_FALSE(names.count(name)) << name;
    for (const std::string &name : others)
        EXPECT_TRUE(names.count(name)) << name;
}

#ifndef _WIN32

TEST_F(SettingsStore, TwoProcessesSavingAtOnceLoseNothing)
{
    constexpr int saves = 200;
    const auto name = [](int process, int i) {
        return "P" + std::to_string(process) + " " + std::to_string(i);
    };
    pid_t children[2];
    for (int p = 0; p < 2; ++p) {
        children[p] = fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            for (int i = 0; i < saves; ++i)
                saveNumberSetting(name(p, i), int16_t(i));
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto tree = parseStoreText(contents());
    ASSERT_TRUE(tree && tree->findKey(SETTINGS_KEY));
    int lost = 0;
    for (int p = 0; p < 2; ++p)
        for (int i = 0; i < saves; ++i) {
            const StoreValue *value = tree->findKey(SETTINGS_KEY)->findValue(name(p, i));
            lost += !value || value->data != std::string{char(i), 0, 0, 0};
        }
    EXPECT_EQ(lost, 0);
}

TEST_F(SettingsStore, SavesKeepTheModeAndReadOnlyMeansReadOnly)
{
    using fs::perms;
    struct Case
    {
        perms mode;
        bool saved;
    };
    // Decided by the mode bits, so this holds when the tests run as root too.
    const Case cases[] = {
        {perms::owner_read | perms::owner_write | perms::group_read, true},
        {perms::owner_read | perms::owner_write | perms::others_read | perms::others_write, true},
        {perms::owner_read | perms::group_read | perms::others_read, false},
        {perms::owner_read, false},
    };
    const std::string before = SETTINGS_SECTION + "\"Port No\"=dword:00000003\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.mode));
        put(before);
        fs::permissions(file, c.mode);
        KeyHandle key = 0;
        ASSERT_EQ(registryBackend().openKey(HKEY_CURRENT_USER_ROOT, SETTINGS_KEY, key), 0);
        EXPECT_EQ(writeRegValue(key, "Port No", REG_DWORD, number(7)) == 0, c.saved);
        registryBackend().closeKey(key);
        EXPECT_NO_THROW(saveTextSetting("Data Output", "f"));
        EXPECT_EQ(fs::status(file).permissions(), c.mode);
        EXPECT_EQ(setting("Port No"), c.saved ? number(7) : number(3));
        EXPECT_EQ(contents() == before, !c.saved);
        fs::permissions(file, perms::owner_all);
    }
}

TEST_F(SettingsStore, LinkedStoreStaysALink)
{
    const fs::path real = dir / "dotfiles" / "Tervalo.reg";
    fs::create_directories(real.parent_path());
    std::ofstream(real) << SETTINGS_SECTION << "\"Port No\"=dword:00000003\n";
    fs::create_symlink("dotfiles/Tervalo.reg", file);
    saveNumberSetting("Address", 2);
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(setting("Port No"), number(3));
    EXPECT_EQ(setting("Address"), number(2));

    // The link's folder is gone (an unmounted disk, a moved dotfiles folder): no file takes the
    // link's place and no folder is made for it; the save fails as a refused write.
    fs::remove_all(real.parent_path());
    KeyHandle key = 0;
    EXPECT_NE(registryBackend().createKey(HKEY_CURRENT_USER_ROOT, SETTINGS_KEY, key), 0);
    EXPECT_NO_THROW(saveNumberSetting("Address", 3));
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(listing(dir), std::set<std::string>{"Tervalo.reg"});
}

TEST_F(SettingsStore, UnreadableFileIsLeftAlone)
{
    const std::string before = SETTINGS_SECTION + "\"Port No\"=dword:00000003\n";
    put(before);
    fs::permissions(file, fs::perms::owner_write);
    // 0 when the file read as holding nothing and the start and the saves left it alone.
    const auto run = [] {
        int failed = setting("Port No").isEmpty() ? 0 : 1;
        ensureDefaultSettings();
        saveNumberSetting("Port No", 5);
        failed |= setting("Port No").isEmpty() ? 0 : 2;
        return failed;
    };
    if (geteuid() != 0) {
        EXPECT_EQ(run(), 0);
    } else {
        // Root reads every file; the case is a user's, so it runs as nobody, in a folder that
        // user may write to, so that nothing but the file's own mode keeps it safe.
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(100);
            _exit(run());
        }
        int status = -1;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 100)
            GTEST_SKIP() << "no unprivileged user to switch to";
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_write);
    fs::permissions(file, fs::perms::owner_all);
    EXPECT_EQ(contents(), before);
    EXPECT_TRUE(beside("Tervalo.reg.bad-").empty());
    EXPECT_TRUE(beside("Tervalo.reg.tmp-").empty());
}

#endif

} // namespace
