#include "output/csv/utf8_csv_store.h"

#include "codec/text_encoding.h"
#include "output/output_naming.h"
#include "output/text_file_store.h"

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

size_t CountOf(std::string_view text, std::string_view part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

}  // namespace

bool Utf8CsvStore::NameUsesTerminalId(const SettingsRecord& settings) const {
    return FileNameUsesTerminalId(settings);
}

OutputName Utf8CsvStore::NameOutput(const SettingsRecord& settings, const RunState&,
                                    std::string_view terminalId, const PcDateTime& now) const {
    return NameOutputFile(settings, terminalId, now, ".csv");
}

std::unique_ptr<PreparedStore> Utf8CsvStore::Prepare(const SettingsRecord& settings, RunState& run,
                                                     OperatorView& view) {
    // Without a converter every character outside ASCII would become U+FFFD: no store at all.
    if (!Cp932ConvertersAvailable()) {
        const std::string text = std::string(kNoCp932ConverterText) + " (" + run.OutputPath + ")";
        view.ShowMessage(kAppTitle, text, MessageIcon::None);
        view.AppendStatus(text);
        return nullptr;
    }
    // CP932 has no U+FFFD of its own: every one in the converted lines is a byte that did not convert.
    size_t replaced = 0;
    TextEncoding encoding;
    encoding.ContentType = "text/csv; charset=utf-8";
    encoding.FileStart = "\xEF\xBB\xBF";
    encoding.Encode = [&replaced](std::string_view lines) {
        std::string utf8 = Cp932ToUtf8(lines);
        replaced += CountOf(utf8, kReplacementCharacter);
        return utf8;
    };
    std::unique_ptr<PreparedStore> store =
        PrepareTextFile(settings, run.OutputPath, settings.OverWrite == 1, encoding, view);
    if (store != nullptr && replaced > 0) {
        view.AppendStatus("UTF-8に変換できない文字を置き換えました (" + std::to_string(replaced) + "箇所)");
    }
    return store;
}
