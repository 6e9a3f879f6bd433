// One fuzz input: the settings file's contents, read by SettingsStore::load
// with and without TABs allowed, then read back through the store's API and
// written out as text, which must load again.
#include "FuzzSupport.h"
#include "app/SettingsStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FUZZ::ScratchFile file("quorvel_settings_fuzz");
    const std::string& path = file.write(data, size);
    for (const bool allowTab : {false, true}) {
        SettingsStore store;
        if (!store.load(path, allowTab)) {
            continue;
        }
        for (const auto& [name, section] : store.sections()) {
            if (name.empty()) {
                continue; // an empty name selects "global"
            }
            store.select(name);
            for (const auto& [key, entry] : section) {
                (void)store.getInt(key);
                if (store.get(key) != entry.value) {
                    __builtin_trap(); // a key of the selected section reads back its own value
                }
            }
        }
        store.select("global.sub");
        (void)store.get("key");
        store.set("fuzz", "value");
        SettingsStore again;
        if (!again.loadText(store.text(), true)) {
            __builtin_trap(); // the store's own text holds no forbidden byte
        }
    }
    return 0;
}
