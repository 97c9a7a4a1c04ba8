// Feeds arbitrary bytes to the settings file reader. Whatever a hand edit or a damaged disk
// leaves in the file must be read without a crash, and whatever the reader accepts must come
// back unchanged after the store writes it out again, or a save would quietly alter values.

#include "settings/registryfile.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace RegistryManagement;
    const auto tree = parseStoreText(std::string_view(reinterpret_cast<const char *>(data), size));
    if (!tree)
        return 0;
    const std::string written = formatStoreText(*tree);
    const auto again = parseStoreText(written);
    if (!again || !(*again == *tree) || formatStoreText(*again) != written)
        std::abort();
    return 0;
}
