#include "xls_fixture.h"

#include <freexl.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>
#include <stdlib.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>

#include "support/child_process.h"

namespace xlstest {

namespace {

uint16_t G16(std::string_view d, size_t at) {
    return at + 2 <= d.size()
               ? static_cast<uint16_t>(static_cast<uint8_t>(d[at]) | (static_cast<uint8_t>(d[at + 1]) << 8))
               : 0;
}
uint32_t G32(std::string_view d, size_t at) {
    return G16(d, at) | (static_cast<uint32_t>(G16(d, at + 2)) << 16);
}

struct Positioned {
    size_t Offset;
    uint16_t Id;
    std::string_view Data;
};

std::vector<Positioned> Walk(std::string_view s) {
    std::vector<Positioned> out;
    size_t at = 0;
    while (at + 4 <= s.size()) {
        const uint16_t id = G16(s, at), len = G16(s, at + 2);
        if (id == 0 && len == 0) {
            break;
        }
        if (at + 4 + len > s.size()) {
            break;
        }
        out.push_back({at, id, s.substr(at + 4, len)});
        at += 4 + len;
    }
    return out;
}

}  // namespace

std::string Le16(uint16_t v) {
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
std::string Le32(uint32_t v) {
    return Le16(static_cast<uint16_t>(v)) + Le16(static_cast<uint16_t>(v >> 16));
}

std::vector<Rec> ParseRecords(std::string_view stream) {
    std::vector<Rec> out;
    for (const Positioned& p : Walk(stream)) {
        out.push_back({p.Id, std::string(p.Data)});
    }
    return out;
}

std::string Serialize(const std::vector<Rec>& records) {
    std::string s;
    std::vector<size_t> fixups;
    std::vector<size_t> sheetStarts;
    int depth = 0;
    bool globalsDone = false;
    for (const Rec& r : records) {
        if (r.id == 0x0809 && depth == 0 && globalsDone) {
            sheetStarts.push_back(s.size());
        }
        if (r.id == 0x0085) {
            fixups.push_back(s.size() + 4);
        }
        s += Le16(r.id) + Le16(static_cast<uint16_t>(r.data.size())) + r.data;
        depth += r.id == 0x0809 ? 1 : r.id == 0x000A ? -1 : 0;
        globalsDone = globalsDone || (depth == 0);
    }
    for (size_t k = 0; k < fixups.size() && k < sheetStarts.size(); ++k) {
        const std::string v = Le32(static_cast<uint32_t>(sheetStarts[k]));
        s.replace(fixups[k], 4, v);
    }
    if (s.size() <= 4096) {
        s.resize(4608, '\0');
    }
    return s;
}

void WriteOle(const std::string& path, const std::vector<std::pair<std::string, std::string>>& streams) {
    WriteOleWithStorage(path, streams, "", "", {});
}

void WriteOleWithStorage(const std::string& path,
                         const std::vector<std::pair<std::string, std::string>>& streams,
                         const std::string& storage, const std::string& classId16,
                         const std::vector<std::pair<std::string, std::string>>& storageStreams) {
    gsf_init();
    GError* err = nullptr;
    GsfOutput* sink = gsf_output_stdio_new(path.c_str(), &err);
    if (sink == nullptr) {
        throw std::runtime_error("cannot create " + path);
    }
    GsfOutfile* ole = gsf_outfile_msole_new(sink);
    for (const auto& [name, data] : streams) {
        GsfOutput* child = gsf_outfile_new_child(ole, name.c_str(), FALSE);
        gsf_output_write(child, data.size(), reinterpret_cast<const guint8*>(data.data()));
        gsf_output_close(child);
        g_object_unref(child);
    }
    if (!storage.empty()) {
        GsfOutput* dir = gsf_outfile_new_child(ole, storage.c_str(), TRUE);
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(dir),
                                       reinterpret_cast<const guint8*>(classId16.data()));
        for (const auto& [name, data] : storageStreams) {
            GsfOutput* child = gsf_outfile_new_child(GSF_OUTFILE(dir), name.c_str(), FALSE);
            gsf_output_write(child, data.size(), reinterpret_cast<const guint8*>(data.data()));
            gsf_output_close(child);
            g_object_unref(child);
        }
        gsf_output_close(dir);
        g_object_unref(dir);
    }
    gsf_output_close(GSF_OUTPUT(ole));
    g_object_unref(ole);  // closing the compound file closed the sink
    g_object_unref(sink);
}

namespace {

using Streams = std::vector<std::pair<std::string, std::string>>;

// The streams directly inside a storage of a compound file.
Streams StreamsOf(GsfInfile* dir) {
    Streams out;
    for (int i = 0; i < gsf_infile_num_children(dir); ++i) {
        GsfInput* child = gsf_infile_child_by_index(dir, i);
        std::string data(static_cast<size_t>(gsf_input_size(child)), '\0');
        if (!data.empty()) {
            gsf_input_read(child, data.size(), reinterpret_cast<guint8*>(data.data()));
        }
        out.emplace_back(gsf_infile_name_by_index(dir, i), data);
        g_object_unref(child);
    }
    return out;
}

// Runs `use` on the root of the compound file at `path`; false when it cannot be read.
template <typename F>
bool WithOle(const std::string& path, F use) {
    gsf_init();
    GError* err = nullptr;
    GsfInput* input = gsf_input_stdio_new(path.c_str(), &err);
    GsfInfile* ole = input != nullptr ? gsf_infile_msole_new(input, &err) : nullptr;
    if (ole != nullptr) {
        use(ole);
        g_object_unref(ole);
    }
    if (err != nullptr) {
        g_error_free(err);
    }
    if (input != nullptr) {
        g_object_unref(input);
    }
    return ole != nullptr;
}

}  // namespace

Streams ReadOleStreams(const std::string& path) {
    Streams out;
    WithOle(path, [&](GsfInfile* ole) { out = StreamsOf(ole); });
    return out;
}

bool ReadOleStorage(const std::string& path, const std::string& storage, std::string& classId16,
                    Streams& streams) {
    bool found = false;
    WithOle(path, [&](GsfInfile* ole) {
        GsfInput* dir = gsf_infile_child_by_name(ole, storage.c_str());
        if (dir != nullptr && gsf_infile_num_children(GSF_INFILE(dir)) >= 0) {
            found = true;
            guint8 id[16] = {};
            gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(dir), id);
            classId16.assign(reinterpret_cast<const char*>(id), 16);
            streams = StreamsOf(GSF_INFILE(dir));
        }
        if (dir != nullptr) {
            g_object_unref(dir);
        }
    });
    return found;
}

std::string WorkbookStream(const std::string& path) {
    for (auto& [name, data] : ReadOleStreams(path)) {
        if (name == "Workbook") {
            return data;
        }
    }
    return {};
}

std::string CheckStructure(const std::string& path) {
    std::ostringstream faults;
    const std::string stream = WorkbookStream(path);
    if (stream.size() <= 4096) {
        faults << "workbook stream of " << stream.size() << " bytes; ";
        if (stream.empty()) {
            return faults.str();
        }
    }
    const std::vector<Positioned> recs = Walk(stream);
    std::map<size_t, size_t> at;  // offset -> record index
    for (size_t i = 0; i < recs.size(); ++i) {
        at[recs[i].Offset] = i;
    }
    auto idAt = [&](size_t offset) -> int {
        auto f = at.find(offset);
        return f == at.end() ? -1 : recs[f->second].Id;
    };

    // Globals.
    size_t i = 0;
    std::vector<uint32_t> sheetOffsets;
    size_t sstIndex = SIZE_MAX;
    uint32_t unique = 0;
    std::string_view extSst;
    for (; i < recs.size(); ++i) {
        if (recs[i].Id == 0x0085) {
            sheetOffsets.push_back(G32(recs[i].Data, 0));
        } else if (recs[i].Id == 0x00FC) {
            sstIndex = i;
            unique = G32(recs[i].Data, 4);
        } else if (recs[i].Id == 0x00FF) {
            extSst = recs[i].Data;
        } else if (recs[i].Id == 0x000A) {
            break;
        }
    }
    if (unique > 0) {
        if (sstIndex == SIZE_MAX || extSst.size() < 2) {
            faults << "strings without SST/EXTSST; ";
        } else {
            const uint16_t dsst = G16(extSst, 0);
            const size_t buckets = (extSst.size() - 2) / 8;
            if (dsst == 0 || buckets != (unique + dsst - 1) / dsst) {
                faults << "EXTSST has " << buckets << " buckets for " << unique << " strings; ";
            }
            for (size_t b = 0; b < buckets; ++b) {
                const uint32_t ib = G32(extSst, 2 + 8 * b);
                const uint16_t cb = G16(extSst, 6 + 8 * b);
                bool inside = false;
                for (size_t k = sstIndex; k < recs.size() && (k == sstIndex || recs[k].Id == 0x003C); ++k) {
                    if (ib >= recs[k].Offset + 4 && ib < recs[k].Offset + 4 + recs[k].Data.size()) {
                        inside = ib - recs[k].Offset == cb;
                    }
                }
                if (!inside) {
                    faults << "EXTSST bucket " << b << " misses its string; ";
                }
            }
        }
    }

    // Sheets.
    for (size_t s = 0; s < sheetOffsets.size(); ++s) {
        if (idAt(sheetOffsets[s]) != 0x0809) {
            faults << "BOUNDSHEET " << s << " does not point at a BOF; ";
            continue;
        }
        size_t k = at[sheetOffsets[s]];
        int depth = 0;
        uint32_t rwMic = 0, rwMac = 0;
        uint16_t colMic = 0, colMac = 0;
        bool haveDims = false;
        std::vector<std::tuple<uint32_t, uint16_t, uint16_t>> cells;
        for (; k < recs.size(); ++k) {
            const Positioned& r = recs[k];
            if (r.Id == 0x000A) {
                --depth;
            }
            if (depth == 1) {
                switch (r.Id) {
                    case 0x020B: {  // INDEX
                        for (size_t e = 16; e + 4 <= r.Data.size(); e += 4) {
                            const uint32_t db = G32(r.Data, e);
                            if (idAt(db) != 0x00D7) {
                                faults << "sheet " << s << ": INDEX entry not on a DBCELL; ";
                            } else if (idAt(db - G32(recs[at[db]].Data, 0)) != 0x0208) {
                                faults << "sheet " << s << ": DBCELL not pointing at a ROW; ";
                            }
                        }
                        const uint32_t defCol = G32(r.Data, 12);
                        if (defCol != 0 && idAt(defCol) != 0x0055) {
                            faults << "sheet " << s << ": INDEX not pointing at DEFCOLWIDTH; ";
                        }
                        break;
                    }
                    case 0x0200:
                        rwMic = G32(r.Data, 0);
                        rwMac = G32(r.Data, 4);
                        colMic = G16(r.Data, 8);
                        colMac = G16(r.Data, 10);
                        haveDims = true;
                        break;
                    case 0x00BD:
                    case 0x00BE:
                        cells.emplace_back(G16(r.Data, 0), G16(r.Data, 2), G16(r.Data, r.Data.size() - 2));
                        break;
                    case 0x00FD:
                        if (G32(r.Data, 6) >= unique) {
                            faults << "sheet " << s << ": LABELSST index beyond the SST; ";
                        }
                        [[fallthrough]];
                    case 0x0201:
                    case 0x0203:
                    case 0x0204:
                    case 0x0205:
                    case 0x0006:
                    case 0x027E:
                    case 0x00D6:
                        cells.emplace_back(G16(r.Data, 0), G16(r.Data, 2), G16(r.Data, 2));
                        break;
                    default:
                        break;
                }
            }
            if (r.Id == 0x0809) {
                ++depth;
            }
            if (depth == 0) {
                break;
            }
        }
        if (!cells.empty() && !haveDims) {
            faults << "sheet " << s << ": no DIMENSIONS; ";
        }
        for (const auto& [row, first, last] : cells) {
            if (row < rwMic || row >= rwMac || first < colMic || last >= colMac) {
                faults << "sheet " << s << ": cell (" << row << "," << first << ") outside DIMENSIONS; ";
                break;
            }
        }
    }
    return faults.str();
}

bool ReadWithFreeXl(const std::string& path, FreeXlBook& book, std::string& why) {
    const void* handle = nullptr;
    if (freexl_open(path.c_str(), &handle) != FREEXL_OK || handle == nullptr) {
        if (handle != nullptr) {
            freexl_close(handle);
        }
        why = "freexl_open failed";
        return false;
    }
    unsigned int count = 0;
    if (freexl_get_info(handle, FREEXL_BIFF_SHEET_COUNT, &count) != FREEXL_OK) {
        freexl_close(handle);
        why = "sheet count query failed";
        return false;
    }
    for (unsigned short s = 0; s < count; ++s) {
        const char* name = nullptr;
        freexl_get_worksheet_name(handle, s, &name);
        book.SheetNames.push_back(name != nullptr ? name : "");
        Cells cells;
        unsigned int rows = 0;
        unsigned short cols = 0;
        if (freexl_select_active_worksheet(handle, s) != FREEXL_OK ||
            freexl_worksheet_dimensions(handle, &rows, &cols) != FREEXL_OK) {
            freexl_close(handle);
            why = "cannot select sheet " + std::to_string(s);
            return false;
        }
        for (unsigned int r = 0; r < rows; ++r) {
            for (unsigned short c = 0; c < cols; ++c) {
                FreeXL_CellValue v;
                if (freexl_get_cell_value(handle, r, c, &v) != FREEXL_OK) {
                    continue;
                }
                switch (v.type) {
                    case FREEXL_CELL_INT:
                        cells[{r, c}] = std::to_string(v.value.int_value);
                        break;
                    case FREEXL_CELL_DOUBLE: {
                        char buf[64];
                        std::snprintf(buf, sizeof buf, "%.15g", v.value.double_value);
                        cells[{r, c}] = buf;
                        break;
                    }
                    case FREEXL_CELL_NULL:
                        break;
                    default:
                        cells[{r, c}] = v.value.text_value != nullptr ? v.value.text_value : "";
                        break;
                }
            }
        }
        book.Sheets.push_back(std::move(cells));
    }
    freexl_close(handle);
    return true;
}

bool ReadWithOpenpyxl(const std::string& path, FreeXlBook& book, std::string& why) {
    const char* source = std::getenv("GATHRA_SOURCE_DIR");
    const SpawnResult read =
        Spawn({"/usr/bin/python3", std::string(source ? source : ".") + "/tests/workbook/xlsx_tool.py",
               "read", path});
    if (read.ExitCode != 0) {
        why = read.Output + read.Errors;
        return false;
    }
    std::istringstream lines(read.Output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("#\t", 0) == 0) {  // a sheet
            book.SheetNames.push_back(line.substr(2));
            book.Sheets.emplace_back();
            continue;
        }
        // sheet, reference, type, the value as JSON: a text in quotes (ensure_ascii off) or a number.
        std::istringstream fields(line);
        std::string sheet, reference, type, json;
        std::getline(fields, sheet, '\t');
        std::getline(fields, reference, '\t');
        std::getline(fields, type, '\t');
        std::getline(fields, json);
        unsigned column = 0;
        size_t i = 0;
        for (; i < reference.size() && std::isalpha(static_cast<unsigned char>(reference[i])); ++i) {
            column = column * 26 + static_cast<unsigned>(reference[i] - 'A' + 1);
        }
        std::string value;
        for (size_t j = json.front() == '"' ? 1 : 0; j < json.size() - (json.front() == '"' ? 1 : 0); ++j) {
            const bool escaped = json[j] == '\\' && j + 1 < json.size();
            value += escaped ? (json[j + 1] == 'n' ? '\n' : json[j + 1]) : json[j];
            j += escaped ? 1 : 0;
        }
        book.Sheets.back()[{static_cast<unsigned>(std::stoul(reference.substr(i))) - 1, column - 1}] = value;
    }
    return true;
}

void WorkbookStoreSettings(const TempFolder& dir, int32_t startLine, SettingsRecord& settings,
                           RunState& run) {
    settings.SaveFolder = dir.Path();
    settings.BackFilePath = dir / "Back.txt";
    settings.SelectedFields.fill(1);
    settings.SaveFormat = kSaveFormatXls;
    settings.XlsType = 1;
    settings.XlsF1 = 1;
    settings.XlsStartLine = startLine;
    run.OutputPath = dir / "T01.xls";
}

}  // namespace xlstest
