#include "output/workbook/ole_storage.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-memory.h>
#include <gsf/gsf-utils.h>

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "common/visible_text.h"

namespace {

void InitGsf() {
    static std::once_flag once;
    std::call_once(once, [] {
        gsf_init();
        // A damaged file makes the reader log assertion messages on stderr; the caller reports the
        // failure to the operator instead.
        g_log_set_handler(
            "libgsf:msole", static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
            [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    });
}

// Owns one GObject reference.
template <typename T>
class GRef {
public:
    explicit GRef(T* p = nullptr) : p_(p) {}
    ~GRef() {
        if (p_ != nullptr) {
            g_object_unref(p_);
        }
    }
    GRef(const GRef&) = delete;
    GRef& operator=(const GRef&) = delete;
    T* get() const { return p_; }

private:
    T* p_;
};

std::string TakeError(GError* err, const char* fallback) {
    std::string text = err != nullptr && err->message != nullptr ? err->message : fallback;
    if (err != nullptr) {
        g_error_free(err);
    }
    return text;
}

// The sector layout of a compound file, read here because the reader's interface does not show it:
// - the sizes of all streams together cannot exceed the file, as each byte of a stream is in the file
//   once;
// - no sector belongs to two chains, or twice to one (a loop).
// Either would let a small file make the reader produce far more than the file holds. Only what the
// reader would follow is checked: the directory, the streams of the tree, the mini stream and its
// allocation table. A layout this check cannot follow (a sector past the end) is left to the reader,
// which refuses it as damaged.
class SectorLayout {
public:
    explicit SectorLayout(std::string_view bytes) : bytes_(bytes) {}

    bool Check(std::string& why) {
        static constexpr char kSignature[] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
        if (bytes_.size() < 512 || bytes_.substr(0, 8) != std::string_view(kSignature, 8)) {
            return true;  // not a compound file: the reader says so
        }
        const uint16_t shift = Le16(30);
        if (shift != 9 && shift != 12) {
            return true;
        }
        sectorSize_ = size_t{1} << shift;
        sectorCount_ = (bytes_.size() - std::min(bytes_.size(), sectorSize_) + sectorSize_ - 1) / sectorSize_;
        miniCutoff_ = Le32(56);
        ReadFat();
        used_.assign(fat_.size(), false);
        for (const uint32_t sector : fatSectors_) {
            Mark(sector);
        }
        for (const uint32_t sector : difatSectors_) {
            Mark(sector);
        }
        std::vector<uint32_t> directory;
        if (!Follow(fat_, used_, Le32(48), UINT64_MAX, &directory)) {
            why = "複合ファイルのディレクトリのセクタが重なっているか循環しています";
            return false;
        }
        ReadEntries(directory);
        if (entries_.empty()) {
            return true;
        }
        std::vector<uint32_t> miniFatSectors;
        if (!Follow(fat_, used_, Le32(60), Le32(64), &miniFatSectors)) {
            why = "複合ファイルのミニストリームの管理領域のセクタが重なっているか循環しています";
            return false;
        }
        std::vector<uint32_t> miniFat;
        for (const uint32_t sector : miniFatSectors) {
            AppendSector(sector, miniFat);
        }
        std::vector<bool> miniUsed(miniFat.size(), false);
        const Entry& root = entries_[0];
        if (!Follow(fat_, used_, root.Start, Sectors(root.Size, sectorSize_), nullptr)) {
            why = "複合ファイルのミニストリームのセクタが重なっているか循環しています";
            return false;
        }
        uint64_t total = 0;
        std::vector<bool> seen(entries_.size(), false);
        std::vector<uint32_t> pending{root.Child};
        while (!pending.empty()) {
            const uint32_t at = pending.back();
            pending.pop_back();
            if (at >= entries_.size() || seen[at]) {
                continue;
            }
            seen[at] = true;
            const Entry& entry = entries_[at];
            pending.push_back(entry.Left);
            pending.push_back(entry.Right);
            if (entry.Type == 1) {
                pending.push_back(entry.Child);
            }
            if (entry.Type != 2 || entry.Size == 0) {
                continue;
            }
            total += entry.Size;
            if (total > bytes_.size()) {
                why = "ストリーム \"" + entry.Name + "\" までの長さの合計がファイルの大きさを超えています";
                return false;
            }
            const bool mini = entry.Size < miniCutoff_;
            if (!(mini ? Follow(miniFat, miniUsed, entry.Start, Sectors(entry.Size, 64), nullptr)
                       : Follow(fat_, used_, entry.Start, Sectors(entry.Size, sectorSize_), nullptr))) {
                why = "ストリーム \"" + entry.Name + "\" のセクタが他と重なっているか循環しています";
                return false;
            }
        }
        return true;
    }

private:
    struct Entry {
        std::string Name;
        uint8_t Type = 0;  // 1 storage, 2 stream, 5 root
        uint32_t Left = 0, Right = 0, Child = 0, Start = 0;
        uint64_t Size = 0;
    };

    uint16_t Le16(size_t at) const {
        return static_cast<uint16_t>(static_cast<uint8_t>(bytes_[at]) | static_cast<uint8_t>(bytes_[at + 1])
                                                                            << 8);
    }
    uint32_t Le32(size_t at) const { return Le16(at) | static_cast<uint32_t>(Le16(at + 2)) << 16; }

    static uint64_t Sectors(uint64_t size, uint64_t sectorSize) {
        return (size + sectorSize - 1) / sectorSize;
    }

    // The bytes of sector `sector`; empty past the end of the file.
    std::string_view Sector(uint32_t sector) const {
        const uint64_t at = (uint64_t{sector} + 1) * sectorSize_;
        return at >= bytes_.size() ? std::string_view() : bytes_.substr(at, sectorSize_);
    }

    void AppendSector(uint32_t sector, std::vector<uint32_t>& into) const {
        const std::string_view data = Sector(sector);
        for (size_t at = 0; at + 4 <= data.size(); at += 4) {
            into.push_back(SectorLayout(data).Le32(at));
        }
    }

    // The allocation table: the sectors the header and the DIFAT chain name, in order.
    void ReadFat() {
        // Sectors past the end of the file hold nothing a chain could use: the table stops there.
        const uint64_t needed = (sectorCount_ + sectorSize_ / 4 - 1) / (sectorSize_ / 4);
        const uint64_t fatCount = std::min<uint64_t>(Le32(44), needed);
        for (size_t i = 0; i < 109 && fatSectors_.size() < fatCount; ++i) {
            fatSectors_.push_back(Le32(76 + 4 * i));
        }
        uint32_t difat = Le32(68);
        while (fatSectors_.size() < fatCount && difat < sectorCount_ && difatSectors_.size() < sectorCount_) {
            difatSectors_.push_back(difat);
            std::vector<uint32_t> listed;
            AppendSector(difat, listed);
            for (size_t i = 0; i + 1 < listed.size() && fatSectors_.size() < fatCount; ++i) {
                fatSectors_.push_back(listed[i]);
            }
            difat = listed.empty() ? kEndOfChain : listed.back();
        }
        for (const uint32_t sector : fatSectors_) {
            if (sector < sectorCount_) {
                AppendSector(sector, fat_);
            } else {
                fat_.resize(fat_.size() + sectorSize_ / 4, kEndOfChain);
            }
        }
    }

    void Mark(uint32_t sector) {
        if (sector < used_.size()) {
            used_[sector] = true;
        }
    }

    // Follows at most `links` links of the chain from `start`, marking each in `used`; false when one was
    // marked before. The sectors go to `chain` when given. A link outside `next` ends the chain.
    static bool Follow(const std::vector<uint32_t>& next, std::vector<bool>& used, uint32_t start,
                       uint64_t links, std::vector<uint32_t>* chain) {
        for (uint32_t at = start; links > 0 && at < next.size(); at = next[at], --links) {
            if (used[at]) {
                return false;
            }
            used[at] = true;
            if (chain != nullptr) {
                chain->push_back(at);
            }
        }
        return true;
    }

    void ReadEntries(const std::vector<uint32_t>& directory) {
        const bool version4 = Le16(26) == 4;
        for (const uint32_t sector : directory) {
            const std::string_view data = Sector(sector);
            for (size_t at = 0; at + 128 <= data.size(); at += 128) {
                const SectorLayout e(data.substr(at, 128));
                Entry entry;
                const size_t nameBytes = std::min<size_t>(e.Le16(64), 64);
                gchar* name = g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(data.data() + at),
                                              static_cast<glong>(nameBytes / 2), nullptr, nullptr, nullptr);
                entry.Name = VisibleText(name != nullptr ? name : "");
                g_free(name);
                entry.Type = static_cast<uint8_t>(data[at + 66]);
                entry.Left = e.Le32(68);
                entry.Right = e.Le32(72);
                entry.Child = e.Le32(76);
                entry.Start = e.Le32(116);
                entry.Size = e.Le32(120) | (version4 ? uint64_t{e.Le32(124)} << 32 : 0);
                entries_.push_back(std::move(entry));
            }
        }
    }

    static constexpr uint32_t kEndOfChain = 0xFFFFFFFE;

    std::string_view bytes_;
    size_t sectorSize_ = 512;
    uint64_t sectorCount_ = 0;
    uint32_t miniCutoff_ = 4096;
    std::vector<uint32_t> fatSectors_;
    std::vector<uint32_t> difatSectors_;
    std::vector<uint32_t> fat_;
    std::vector<bool> used_;
    std::vector<Entry> entries_;
};

bool ReadChildren(GsfInfile* dir, size_t fileSize, OleEntry& into, std::string& why) {
    const int count = gsf_infile_num_children(dir);
    for (int i = 0; i < count; ++i) {
        const char* name = gsf_infile_name_by_index(dir, i);
        GRef<GsfInput> child(gsf_infile_child_by_index(dir, i));
        if (child.get() == nullptr || name == nullptr) {
            why = "複合ファイルの項目を読めません";
            return false;
        }
        OleEntry entry;
        entry.Name = name;
        const bool isStorage =
            GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0;
        if (isStorage) {
            entry.IsStorage = true;
            gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(child.get()), entry.ClassId.data());
            if (!ReadChildren(GSF_INFILE(child.get()), fileSize, entry, why)) {
                return false;
            }
        } else {
            const gsf_off_t size = gsf_input_size(child.get());
            // A stream cannot hold more than the file: a larger declared size is damage, and is
            // refused before anything is allocated for it.
            if (size < 0 || static_cast<uint64_t>(size) > fileSize) {
                why = "ストリーム \"" + VisibleText(entry.Name) + "\" の長さがファイルの大きさを超えています";
                return false;
            }
            entry.Data.resize(static_cast<size_t>(size));
            size_t done = 0;
            while (done < entry.Data.size()) {
                const size_t chunk = std::min<size_t>(entry.Data.size() - done, 65536);
                if (gsf_input_read(child.get(), chunk, reinterpret_cast<guint8*>(&entry.Data[done])) ==
                    nullptr) {
                    why = "ストリーム \"" + VisibleText(entry.Name) + "\" が途中で切れています";
                    return false;
                }
                done += chunk;
            }
        }
        into.Children.push_back(std::move(entry));
    }
    return true;
}

bool WriteEntry(GsfOutfile* dir, const OleEntry& entry, std::string& why) {
    GRef<GsfOutput> child(gsf_outfile_new_child(dir, entry.Name.c_str(), entry.IsStorage));
    if (child.get() == nullptr) {
        why = "複合ファイルに \"" + VisibleText(entry.Name) + "\" を作れません";
        return false;
    }
    bool ok = true;
    if (entry.IsStorage) {
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(child.get()), entry.ClassId.data());
        for (const OleEntry& sub : entry.Children) {
            ok = ok && WriteEntry(GSF_OUTFILE(child.get()), sub, why);
        }
    } else if (!entry.Data.empty()) {
        ok = gsf_output_write(child.get(), entry.Data.size(),
                              reinterpret_cast<const guint8*>(entry.Data.data()));
        if (!ok) {
            why = "ストリーム \"" + VisibleText(entry.Name) + "\" を書けません";
        }
    }
    if (!gsf_output_close(child.get()) && ok) {
        why = "ストリーム \"" + VisibleText(entry.Name) + "\" を閉じられません";
        ok = false;
    }
    return ok;
}

}  // namespace

bool ReadCompoundFile(std::string_view bytes, OleEntry& root, std::string& why) {
    InitGsf();
    root = OleEntry{};
    root.IsStorage = true;
    if (!SectorLayout(bytes).Check(why)) {
        return false;
    }
    GRef<GsfInput> input(
        gsf_input_memory_new(reinterpret_cast<const guint8*>(bytes.data()), bytes.size(), FALSE));
    if (input.get() == nullptr) {
        why = "ファイルを読めません";
        return false;
    }
    GError* err = nullptr;
    GRef<GsfInfile> ole(gsf_infile_msole_new(input.get(), &err));
    if (ole.get() == nullptr) {
        why = "OLE2複合ファイルではありません (" + TakeError(err, "unknown") + ")";
        return false;
    }
    gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(ole.get()), root.ClassId.data());
    return ReadChildren(ole.get(), bytes.size(), root, why);
}

bool WriteCompoundFile(const OleEntry& root, const std::string& firstStream,
                       const std::function<bool(std::string_view)>& take, std::string& why) {
    InitGsf();
    GRef<GsfOutput> sink(gsf_output_memory_new());
    bool ok = true;
    {
        GRef<GsfOutfile> ole(gsf_outfile_msole_new_full(sink.get(), 512, 64));
        if (ole.get() == nullptr) {
            why = "複合ファイルを作れません";
            return false;
        }
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(ole.get()), root.ClassId.data());
        for (const OleEntry& child : root.Children) {
            if (child.Name == firstStream) {
                ok = ok && WriteEntry(ole.get(), child, why);
            }
        }
        for (const OleEntry& child : root.Children) {
            if (child.Name != firstStream) {
                ok = ok && WriteEntry(ole.get(), child, why);
            }
        }
        if (!gsf_output_close(GSF_OUTPUT(ole.get())) && ok) {
            why = "複合ファイルを閉じられません";
            ok = false;
        }
    }
    if (!ok) {
        return false;
    }
    const gsf_off_t size = gsf_output_size(sink.get());
    const guint8* data = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(sink.get()));
    if (data == nullptr && size > 0) {
        why = "複合ファイルを作れません";
        return false;
    }
    return take(std::string_view(reinterpret_cast<const char*>(data), static_cast<size_t>(size)));
}
