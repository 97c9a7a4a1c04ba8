// The settings store with a large file: what a user who copied a whole exported HKCU over the
// settings file pays at start and for one save. Run by hand (Release build), never by CTest:
//
//     settings_bench [--keys 20000] [--runs 5]
//
// The file is a UTF-16 registry export of `keys` keys of other programs, a few values each,
// plus Tervalo's own key with every setting, dated an hour back as a file copied over would be.
// "start" is the window's load step (ensureDefaultSettings and applySettings) with a fresh
// store, "save" one saved text; each the median of the runs, with the file's opens counted.

#include "settings/registryfile.h"
#include "tests/settings/opencount.h"
#include "settings/startupsettings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/inotify.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace RegistryManagement;

namespace {

struct NoWindow : SettingsWindow
{
    void setChannelValue(int, int16_t) override {}
    void setAddressText(const std::string &) override {}
    void setDataOutputValueToTrue(const std::string &) override {}
};

std::string utf16(const std::string &ascii)
{
    std::string out;
    out.reserve(ascii.size() * 2);
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string exportFile(int keys)
{
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    char line[256];
    for (int i = 0; i < keys; ++i) {
        std::snprintf(line, sizeof line,
                      "[HKEY_CURRENT_USER\\Software\\Vendor%d\\App%d]\r\n"
                      "\"InstallPath\"=\"C:\\\\Program Files\\\\Vendor%d\\\\App%d\"\r\n"
                      "\"Version\"=dword:%08x\r\n\"Flags\"=hex:01,02,03,04,05,06,07,08\r\n\r\n",
                      i / 10, i, i / 10, i, unsigned(i));
        text += line;
    }
    text += "[HKEY_CURRENT_USER\\Software\\Quillmar\\Tervalo]\r\n";
    for (const char *name : {"Channel 1", "Channel 2", "Channel 3", "Channel 4", "Channel 5",
                             "Channel 6", "Port No", "SampleRate", "Address", "Update Time"}) {
        std::snprintf(line, sizeof line, "\"%s\"=dword:00000001\r\n", name);
        text += line;
    }
    text += "\"Data Output\"=\"c\"\r\n";
    return "\xff\xfe" + utf16(text);
}

double millis(const std::function<void()> &run)
{
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}


double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    int keys = 20000;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--keys"))
            keys = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--runs"))
            runs = std::atoi(argv[i + 1]);
    }
    const fs::path dir = fs::temp_directory_path() / ("tervalo-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path file = dir / "Tervalo.reg";
    setStoreFile(file.string());
    const std::string bytes = exportFile(keys);

    std::vector<double> start, save;
    int startOpens = 0;
    for (int run = 0; run < runs; ++run) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
        fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(1));
        FileBackend store; // nothing kept from the run before
        setRegistryBackend(&store);
        NoWindow window;
        startOpens = std::max(startOpens, opensDuring(file, [&] {
                                  start.push_back(millis([&] {
                                      ensureDefaultSettings();
                                      (void)applySettings(window);
                                  }));
                              }));
        save.push_back(millis([&] { saveTextSetting("Data Output", run % 2 ? "c" : "f"); }));
        setRegistryBackend(nullptr);
    }
    double load[3] = {};
    if (FILE *f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3)
            load[0] = -1;
        std::fclose(f);
    }
    std::printf("keys %d  file %.1f MB  start %.1f ms (%d opens)  save %.1f ms  load %.2f\n", keys,
                double(bytes.size()) / 1e6, median(start), startOpens, median(save), load[0]);
    fs::remove_all(dir);
    return 0;
}
