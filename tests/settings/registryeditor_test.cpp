// The file as the registry editor reads and writes it: line ends, key lines, names given twice,
// and texts beyond ASCII in both encodings; and the kept copy of the file never hiding a change.
#include "tests/settings/storefixture.h"

#include "settings/registrysyntax.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include "tests/settings/opencount.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const std::string TERVALO = "[HKEY_CURRENT_USER\\Software\\Quillmar\\Tervalo";

TEST_F(SettingsStore, LinesReadAsTheRegistryEditorReadsThem)
{
    struct Case
    {
        std::string before;
        RegValue port;     // read before the save
        std::string after; // the file once Port No is saved as 5; "" when unreadable
    };
    const std::string head = "Windows Registry Editor Version 5.00\n\n";
    const Case cases[] = {
        // A name given twice: the last line decides, and is the one a save changes.
        {head + TERVALO + "]\n\"Port No\"=dword:00000001\n\"port no\"=dword:00000002\n",
         number(2),
         head + TERVALO + "]\n\"Port No\"=dword:00000001\n\"Port No\"=dword:00000005\n"},
        {head + TERVALO + "]\n\"Port No\"=dword:00000001\n" + TERVALO +
             "]\n\"Port No\"=\"2\"\n",
         text("2"),
         head + TERVALO + "]\n\"Port No\"=dword:00000001\n" + TERVALO +
             "]\n\"Port No\"=dword:00000005\n"},
        // Old Mac line ends, kept for the lines a save adds.
        {"Windows Registry Editor Version 5.00\r\r" + TERVALO + "]\r\"Address\"=dword:00000002\r",
         {},
         "Windows Registry Editor Version 5.00\r\r" + TERVALO +
             "]\r\"Address\"=dword:00000002\r\"Port No\"=dword:00000005\r"},
        {"REGEDIT4\r\n" + TERVALO + "]\r\"Port No\"=hex(4):02,\\\r  00,00,00\n",
         number(2),
         "REGEDIT4\r\n" + TERVALO + "]\r\"Port No\"=dword:00000005\n"},
        // The key ends at the last ']'; what follows it and backslashes before it don't count.
        {head + TERVALO + "\\]\n\"Port No\"=dword:00000002\n", number(2),
         head + TERVALO + "\\]\n\"Port No\"=dword:00000005\n"},
        {head + TERVALO + "]x\n\"Port No\"=dword:00000002\n", number(2),
         head + TERVALO + "]x\n\"Port No\"=dword:00000005\n"},
        {head + TERVALO + "]x]\n\"Port No\"=dword:00000002\n", {},
         head + TERVALO + "]x]\n\"Port No\"=dword:00000002\n\n" + TERVALO +
             "]\n\"Port No\"=dword:00000005\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before);
        put(c.before);
        EXPECT_EQ(setting("Port No"), c.port);
        saveNumberSetting("Port No", 5);
        EXPECT_EQ(contents(), c.after);
        EXPECT_EQ(setting("Port No"), number(5));
        EXPECT_TRUE(beside("Tervalo.reg.bad-").empty());
    }
}

TEST_F(SettingsStore, TextsWrittenAsTheRegistryEditorReadsThem)
{
    using syntax::toUtf16;
    const std::string kitchen = "K\xc3\xbc" "che";
    const std::string wide = "K\xc3\xbc" "che 30\xc2\xb0" "C \xe2\x80\x93 \xce\x94\xe2\x82\xac";
    const std::string &head = SETTINGS_SECTION;
    const std::string key = TERVALO + "]\n";
    const auto utf16File = [](const std::string &utf8) { return "\xff\xfe" + toUtf16(utf8); };
    struct Case
    {
        std::string before; // "" for no file yet
        std::string text;
        std::string after;
    };
    const Case cases[] = {
        {"", kitchen, head + "\"Data Output\"=\"K\xfc" "che\"\n"},
        // Beyond Windows-1252: the file becomes UTF-16, every line as it read before.
        {"; f\xfcr die K\xfc" "che\n",
         wide,
         utf16File("Windows Registry Editor Version 5.00\n\n; f\xc3\xbcr die " + kitchen + "\n\n" +
                   key + "\"Data Output\"=\"" + wide + "\"\n")},
        {utf16File(head), wide, utf16File(head + "\"Data Output\"=\"" + wide + "\"\n")},
        // Control characters: hex(1) with UTF-16 bytes in a version 5 file.
        {"", "\xc3\xbc\t", head + "\"Data Output\"=hex(1):fc,00,09,00,00,00\n"},
        // "Ã¼" in Windows-1252 would read back as "ü": UTF-16 instead.
        {head, "\xc3\x83\xc2\xbc", utf16File(head + "\"Data Output\"=\"\xc3\x83\xc2\xbc\"\n")},
        // REGEDIT4 has no UTF-16: what its code page cannot hold stays bytes, as before.
        {"REGEDIT4\n", "\xce\x94", "REGEDIT4\n\n" + key + "\"Data Output\"=hex(1):ce,94,00\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        fs::remove(file);
        if (!c.before.empty())
            put(c.before);
        saveTextSetting("Data Output", c.text);
        EXPECT_EQ(contents(), c.after);
        EXPECT_EQ(setting("Data Output"), text(c.text));
    }
}

TEST_F(SettingsStore, ReadsTextsOfEitherEncodingAndOlderVersions)
{
    struct Case
    {
        std::string line;
        RegValue value;
    };
    const Case cases[] = {
        {"\"V\"=hex(1):4b,c3,bc,63,68,65,00", text("K\xc3\xbc" "che")}, // older versions: UTF-8
        {"\"V\"=hex(1):4b,00,fc,00,00,00", text("K\xc3\xbc")},           // UTF-16
        {"\"V\"=hex(1):3d,d8,00,de,00,00", text("\xf0\x9f\x98\x80")},    // a surrogate pair
        {"\"V\"=hex(1):00,d8,00,00", text(std::string("\0\xd8\0", 3))}, // half a pair: bytes
        {"\"V\"=\"K\xfc\"", text("K\xc3\xbc")},                           // Windows-1252
        {"\"V\"=\"\x80\x96\"", text("\xe2\x82\xac\xe2\x80\x93")},
        {"\"V\"=\"K\xc3\xbc\"", text("K\xc3\xbc")}, // typed on this system
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        put(SETTINGS_SECTION + c.line + "\n");
        EXPECT_EQ(setting("V"), c.value);
    }
}

#ifndef _WIN32

void makeOld(const fs::path &file)
{
    fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(1));
}

TEST_F(SettingsStore, KeptCopyNeverHidesAChange)
{
    std::string values;
    for (const char *name : {"Channel 1", "Channel 2", "Channel 3", "Channel 4", "Channel 5",
                             "Channel 6", "Port No", "SampleRate", "Address", "Update Time"})
        values += "\"" + std::string(name) + "\"=dword:00000001\n";
    put(SETTINGS_SECTION + values + "\"Data Output\"=\"c\"\n");
    makeOld(file);
    // Many reads in a row open the file once.
    const int opens = opensDuring(file, [] {
        for (int i = 0; i < 40; ++i)
            setting("Port No");
    });
    EXPECT_GE(opens, 0); // watched at all
    EXPECT_LE(opens, 1);
    EXPECT_EQ(setting("Data Output"), text("c"));

    struct Case
    {
        const char *how;
        std::function<void()> change;
    };
    const Case cases[] = {
        // Same size and inode, at once: the times may not have moved.
        {"rewritten in place", [&] { put(SETTINGS_SECTION + values + "\"Data Output\"=\"f\"\n"); }},
        {"renamed over", [&] {
             std::ofstream(dir / "new") << SETTINGS_SECTION + values + "\"Data Output\"=\"r\"\n";
             fs::rename(dir / "new", file);
         }},
        {"another copy's save", [&] {
             FileBackend other(file.string());
             setRegistryBackend(&other);
             saveTextSetting("Data Output", "k");
             setRegistryBackend(&fileStore);
         }},
    };
    const char *expected[] = {"f", "r", "k"};
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].how);
        cases[i].change();
        EXPECT_EQ(setting("Data Output"), text(expected[i]));
        makeOld(file);
        EXPECT_EQ(setting("Data Output"), text(expected[i]));
    }
}

#endif

} // namespace
