#pragma once

#include <string>

#include "settings/settings_record.h"

// The upload's records as the text store keeps them, in "<name>.txt" inside a private temporary folder
// that goes (with the file) when the object goes: the mail attachment of a store that has no file of its
// own (a server database).
class TextAttachment {
public:
    TextAttachment() = default;
    ~TextAttachment();
    TextAttachment(const TextAttachment&) = delete;
    TextAttachment& operator=(const TextAttachment&) = delete;

    // Writes the file for `name` ("upload" when empty; "/" becomes "_"); on failure returns false with the
    // reason in `why`.
    bool Make(const SettingsRecord& settings, const std::string& name, std::string& why);
    const std::string& Path() const { return path_; }

private:
    std::string folder_;
    std::string path_;
};
