// The settings store where there is no registry: the current user's registry tree kept in one
// text file, $XDG_CONFIG_HOME/Quillmar/Tervalo.reg, or ~/.config/Quillmar/Tervalo.reg when
// XDG_CONFIG_HOME is unset or empty. registrytext.h describes what the file looks like.
//
// Several copies of Tervalo may run at once and a person may edit the file by hand, so:
// - every save reads the file afresh, changes one line and replaces the file whole (a temporary
//   file renamed over it), holding a lock on Tervalo.reg.lock beside it meanwhile, so two copies
//   saving at once never lose each other's values, and a crash leaves the old file or the new;
// - a file the user cannot write to (no write bit, for root neither) or cannot read is never
//   replaced: saves fail as a refused registry write would; a save keeps the file's mode;
// - a store that is a link is written through to its target, and stays a link;
// - a file that is no settings file at all (binary, or no line of it understood) is moved aside
//   as Tervalo.reg.bad-<date>-<time> before the first save writes a fresh one;
// - temporary files a killed save left behind are removed by the next save.
//
// The file is parsed once and kept, with its keys and values in hash maps, for as long as its
// size, modification and change times and inode stay the same: a start's many reads cost one
// read of the file and a check of its status each. A file changed within two seconds of being
// read is not trusted by its times alone (they may not have moved); it is read again and
// compared, but parsed again only when it differs. Saves always read the file under the lock
// and compare it with the kept copy before they change it.

#pragma once

#include "settings/registrymanagement.h"
#include "settings/registrytext.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace RegistryManagement {

struct StoreCache; // the file as last read, parsed

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

    ~FileBackend() override;

private:
    std::string file() const;
    // The tree of the file as it is now, from the kept copy when that is still current.
    int32_t current(StoreTree *&tree);
    int32_t resolve(KeyHandle root, const std::string &path, std::string &full) const;
    KeyHandle remember(std::string path);

    std::string m_path;
    std::map<KeyHandle, std::string> m_open; // handle -> key path
    KeyHandle m_next = 1;
    std::unique_ptr<StoreCache> m_cache;
};

} // namespace RegistryManagement
