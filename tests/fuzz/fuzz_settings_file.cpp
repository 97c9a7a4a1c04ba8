// Feeds arbitrary bytes to the settings file reader. Whatever a hand edit or a damaged disk
// leaves in the file must be read without a crash. What the reader takes for a settings file must
// come back byte for byte when written unchanged, and saving one value into it must change that
// value and nothing else the file says, or a save would quietly alter the user's other settings.

#include "settings/registrymanagement.h"
#include "settings/registrytext.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace RegistryManagement;

std::string lowered(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return s;
}

// The same keys and values, whatever the order they were met in.
StoreTree sorted(StoreTree tree)
{
    const auto byPath = [](const StoreKey &a, const StoreKey &b) {
        return lowered(a.path) < lowered(b.path);
    };
    const auto byName = [](const StoreValue &a, const StoreValue &b) {
        return lowered(a.name) < lowered(b.name);
    };
    std::sort(tree.keys.begin(), tree.keys.end(), byPath);
    for (StoreKey &key : tree.keys)
        std::sort(key.values.begin(), key.values.end(), byName);
    return tree;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    auto doc = StoreDocument::parse(bytes);
    if (!doc)
        return 0;
    if (doc->bytes() != bytes)
        std::abort();

    // A save as the store makes one: the key first, then the value, of any type and bytes.
    const StoreValue value{"Fuzz", size > 0 ? uint32_t(data[0] & 7) : uint32_t(REG_SZ),
                           std::string(bytes.substr(std::min<size_t>(size, 1), 12))};
    StoreTree expected = doc->tree();
    expected.ensureKey(SETTINGS_KEY).setValue(value);
    doc->addKey(SETTINGS_KEY);
    doc->setValue(SETTINGS_KEY, value);
    const auto again = StoreDocument::parse(doc->bytes());
    if (!again || !(sorted(again->tree()) == sorted(expected)))
        std::abort();
    return 0;
}
