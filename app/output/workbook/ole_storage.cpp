#include "output/workbook/ole_storage.h"

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-memory.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-memory.h>
#include <gsf/gsf-utils.h>

#include <mutex>

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
                why = "ストリーム \"" + entry.Name + "\" の長さがファイルの大きさを超えています";
                return false;
            }
            entry.Data.resize(static_cast<size_t>(size));
            size_t done = 0;
            while (done < entry.Data.size()) {
                const size_t chunk = std::min<size_t>(entry.Data.size() - done, 65536);
                if (gsf_input_read(child.get(), chunk, reinterpret_cast<guint8*>(&entry.Data[done])) ==
                    nullptr) {
                    why = "ストリーム \"" + entry.Name + "\" が途中で切れています";
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
        why = "複合ファイルに \"" + entry.Name + "\" を作れません";
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
            why = "ストリーム \"" + entry.Name + "\" を書けません";
        }
    }
    if (!gsf_output_close(child.get()) && ok) {
        why = "ストリーム \"" + entry.Name + "\" を閉じられません";
        ok = false;
    }
    return ok;
}

}  // namespace

bool ReadCompoundFile(std::string_view bytes, OleEntry& root, std::string& why) {
    InitGsf();
    root = OleEntry{};
    root.IsStorage = true;
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
