// The settings file reader over arbitrary bytes: load, look every key up, change one value and save the
// text; the saved text must load again and give back the value that was set.
#include <cstdlib>

#include "fuzz_support.h"
#include "settings/ini_file.h"
#include "settings/settings_keys.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = ScratchFolder() + "/Gathra.ini";
    if (!WriteWholeFile(path, AsText(data, size))) {
        return 0;
    }
    IniFile ini;
    if (!ini.Load(path)) {
        return 0;
    }
    for (const auto& key : SettingsKeyOrder()) {
        (void)ini.Get("Gathra", key.Name);
    }
    if (!ini.Set("Gathra", "SaveFolder", "/tmp/\xE4\xBF\x9D\xE5\xAD\x98")) {
        return 0;
    }
    const std::string text = ini.Text();
    if (!WriteWholeFile(path, text)) {
        return 0;
    }
    IniFile again;
    if (!again.Load(path) || again.Get("Gathra", "SaveFolder") != "/tmp/\xE4\xBF\x9D\xE5\xAD\x98") {
        std::abort();
    }
    return 0;
}
