#include "settings/startupsettings.h"
#include "tests/settings/storefixture.h"

namespace {

// Records what the start-up step hands to the window.
struct FakeWindow : SettingsWindow
{
    int16_t channels[6] = {-9, -9, -9, -9, -9, -9};
    std::string address = "unset";
    std::string unit = "unset";
    void setChannelValue(int index, int16_t value) override { channels[index] = value; }
    void setAddressText(const std::string &text) override { address = text; }
    void setDataOutputValueToTrue(const std::string &dataOutput) override { unit = dataOutput; }
};

class StartupSettings : public SettingsStore
{
protected:
    void putValues(const std::string &values) { put(SETTINGS_SECTION + values); }
};

TEST_F(StartupSettings, FirstRunCreatesElevenDefaultsAndAppliesThem)
{
    ensureDefaultSettings();
    const std::pair<const char *, int32_t> numbers[] = {
        {"Channel 1", 1}, {"Channel 2", 1}, {"Channel 3", 1}, {"Channel 4", 1},
        {"Channel 5", 1}, {"Channel 6", 1}, {"Port No", 0},   {"SampleRate", 0},
        {"Address", 0},   {"Update Time", 1}};
    for (const auto &[name, value] : numbers) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(stored(name));
        EXPECT_EQ(stored(name)->type, uint32_t(REG_DWORD));
        EXPECT_EQ(readKeyValue(SETTINGS_KEY, name), RegValue::fromNumber(value));
    }
    ASSERT_TRUE(stored("Data Output"));
    EXPECT_EQ(stored("Data Output")->type, uint32_t(REG_SZ));
    EXPECT_EQ(stored("Data Output")->data, std::string("r\0", 2));

    FakeWindow window;
    const AppliedSettings applied = applySettings(window);
    for (int16_t channel : window.channels)
        EXPECT_EQ(channel, 1);
    EXPECT_EQ(window.address, "0");
    EXPECT_EQ(window.unit, "r");
    EXPECT_EQ(applied.portListPosition, 0);
    EXPECT_EQ(applied.rateListPosition, 0);
}

TEST_F(StartupSettings, DefaultsReplaceOnlyWhatIsMissingOrEmpty)
{
    struct Case
    {
        const char *line;      // as stored before the start
        const char *name;
        RegValue after;        // what the start leaves
    };
    const Case cases[] = {
        {"\"Update Time\"=dword:00000000", "Update Time", RegValue::fromNumber(1)},
        {"\"Update Time\"=dword:00000005", "Update Time", RegValue::fromNumber(5)},
        {"\"Data Output\"=dword:00000000", "Data Output", RegValue::fromText("r")},
        {"\"Data Output\"=\"f\"", "Data Output", RegValue::fromText("f")},
        {"\"Channel 3\"=\"\"", "Channel 3", RegValue::fromNumber(1)},
        {"\"Channel 3\"=dword:00000000", "Channel 3", RegValue::fromNumber(0)},
        {"\"Port No\"=hex:01,02", "Port No", RegValue::fromNumber(0)},
        {"\"Address\"=\"3\"", "Address", RegValue::fromText("3")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        putValues(std::string(c.line) + "\n");
        ensureDefaultSettings();
        EXPECT_EQ(readKeyValue(SETTINGS_KEY, c.name), c.after);
    }
}

TEST_F(StartupSettings, StoredValuesReachTheWindow)
{
    putValues("\"Channel 2\"=dword:00000000\n"
        "\"Channel 5\"=\"0\"\n"
        "\"Port No\"=\"3\"\n"
        "\"Address\"=dword:00000005\n"
        "\"SampleRate\"=dword:00000008\n"
        "\"Data Output\"=\"c\"\n");
    ensureDefaultSettings();
    FakeWindow window;
    const AppliedSettings applied = applySettings(window);
    const int16_t expected[6] = {1, 0, 1, 1, 0, 1};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(window.channels[i], expected[i]) << "channel " << i + 1;
    EXPECT_EQ(applied.portListPosition, 3); // a number stored as text is applied as the number
    EXPECT_EQ(window.address, "5");
    EXPECT_EQ(applied.rateListPosition, 8);
    EXPECT_EQ(window.unit, "c");
}

TEST_F(StartupSettings, HandEditsThatCannotApplyFallBackToDefaults)
{
    putValues("\"Channel 1\"=dword:00000007\n"
        "\"Channel 2\"=\"yes\"\n"
        "\"Channel 3\"=dword:00000002\n"
        "\"Port No\"=dword:00010000\n"
        "\"SampleRate\"=\"fast\"\n"
        "\"Data Output\"=\"x\"\n");
    FakeWindow window;
    const AppliedSettings applied = applySettings(window);
    EXPECT_EQ(window.channels[0], 1);
    EXPECT_EQ(window.channels[1], 1);
    EXPECT_EQ(window.channels[2], 2); // the grey state is a state of the box; the window decides
    EXPECT_EQ(applied.portListPosition, 0);
    EXPECT_EQ(applied.rateListPosition, 0);
    EXPECT_EQ(window.unit, "x"); // selects no unit option; the window's rule
}

TEST_F(StartupSettings, OneMistypedValueCostsOnlyThatValue)
{
    const std::string typed = "\"Channel 1\"=dword:00000000\n"
                              "\"Channel 4\"=dword:00000000\n"
                              "\"Port No\"=dword:00000002\n"
                              "\"SampleRate\"=dword:00000004\n"
                              "\"Address\"=dword:00000005\n"
                              "\"Data Output\"=c\n"; // the quotes forgotten
    putValues(typed);
    ensureDefaultSettings();
    FakeWindow window;
    const AppliedSettings applied = applySettings(window);
    const int16_t expected[6] = {0, 1, 1, 0, 1, 1};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(window.channels[i], expected[i]) << "channel " << i + 1;
    EXPECT_EQ(applied.portListPosition, 2);
    EXPECT_EQ(applied.rateListPosition, 4);
    EXPECT_EQ(window.address, "5");
    EXPECT_EQ(window.unit, "r");
    // The mistyped line stays for the user to put right; the default goes below it.
    EXPECT_EQ(contents().substr(0, SETTINGS_SECTION.size() + typed.size()),
              SETTINGS_SECTION + typed);
}

TEST_F(StartupSettings, StoreOutOfReachStartsWithTheDefaults)
{
    // A store below a plain file can never be created, not even by root.
    std::ofstream(dir / "blocker") << "x";
    setStoreFile((dir / "blocker" / "Tervalo.reg").string());
    ensureDefaultSettings();
    FakeWindow window;
    const AppliedSettings applied = applySettings(window);
    // Nothing could be stored or read: the window starts as on a first run, not empty.
    for (int16_t channel : window.channels)
        EXPECT_EQ(channel, 1);
    EXPECT_EQ(window.address, "0");
    EXPECT_EQ(window.unit, "r");
    EXPECT_EQ(applied.portListPosition, 0);
}

TEST(StartupConversions, ToInt16)
{
    struct Case
    {
        RegValue value;
        std::optional<int16_t> expected;
    };
    const Case cases[] = {
        {RegValue{}, 0},
        {RegValue::fromNumber(-1), -1},
        {RegValue::fromNumber(32768), std::nullopt},
        {RegValue::fromText("3"), 3},
        {RegValue::fromText(" 12 "), 12},
        {RegValue::fromText("-32768"), -32768},
        {RegValue::fromText("40000"), std::nullopt},
        {RegValue::fromText(""), std::nullopt},
        {RegValue::fromText("3x"), std::nullopt},
        // A plus typed by hand, as a person writes a positive number.
        {RegValue::fromText("+3"), 3},
        {RegValue::fromText(" +3 "), 3},
        {RegValue::fromText("+32767"), 32767},
        {RegValue::fromText("+32768"), std::nullopt},
        {RegValue::fromText("+"), std::nullopt},
        {RegValue::fromText("++3"), std::nullopt},
        {RegValue::fromText("+-3"), std::nullopt},
        {RegValue::fromText("+ 3"), std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(toInt16(c.value), c.expected) << c.value.asText();
}

} // namespace

#ifndef _WIN32
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A FIFO where the file belongs (a mistaken mkfifo, a tool that streams its settings) has no
// writer: opening it to read must not wait for one, and a save must not replace it.
TEST_F(StartupSettings, FifoAtTheStorePathIsNeitherReadNorReplaced)
{
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ensureDefaultSettings();
        FakeWindow window;
        (void)applySettings(window);
        saveTextSetting("Data Output", "c");
        // The defaults, from nothing read.
        _exit(window.unit == "r" && window.channels[0] == 1 && setting("Data Output").isEmpty()
                  ? 0
                  : 1);
    }
    int status = -1;
    for (int waited = 0; waited < 500 && waitpid(child, &status, WNOHANG) == 0; ++waited)
        usleep(10000);
    if (status == -1) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        FAIL() << "the start hung on the FIFO";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st
    {
    };
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(listing(dir), std::set<std::string>{"Tervalo.reg"});
}

} // namespace
#endif
