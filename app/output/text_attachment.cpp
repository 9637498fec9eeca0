#include "output/text_attachment.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "common/system_error.h"
#include "output/text_file_store.h"
#include "run/silent_operator_view.h"

namespace {

// A view that shows nothing and keeps the last message: the text store's report becomes the mail's
// failure text instead of a box.
class QuietView : public SilentOperatorView {
public:
    void ShowMessage(const std::string&, const std::string& text, MessageIcon) override {
        LastMessage = text;
    }
    std::string LastMessage;
};

}  // namespace

TextAttachment::~TextAttachment() {
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool TextAttachment::Make(const SettingsRecord& settings, const std::string& tableName, std::string& why) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/gathra-mail-XXXXXX";
    // mkdtemp makes the folder readable by its owner only.
    if (::mkdtemp(pattern.data()) == nullptr) {
        why = "temporary folder " + pattern + ": " + SystemErrorText(errno);
        return false;
    }
    folder_ = pattern;
    // The name may hold what a file name cannot.
    std::string name = tableName.empty() ? "upload" : tableName;
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    path_ = folder_ + "/" + name + ".txt";

    QuietView quiet;
    if (!CommitAndKeep(PrepareTextFile(settings, path_, true, TextEncoding{}, quiet), quiet)) {
        why = quiet.LastMessage;
        return false;
    }
    return true;
}
