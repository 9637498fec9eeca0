#include "output/workbook/cell_table.h"

#include <algorithm>

using namespace biff;

namespace {

bool IsAttached(uint16_t id) {
    return id == kString || id == kShrFmla || id == kArray || id == kTable || id == kContinue;
}

constexpr uint32_t kRowsPerBlock = 32;
constexpr size_t kMaxDbCellOffset = 0xFFFF;

// Calls `f(id, data)` for each record of a serialised run of records.
template <typename F>
void ForEachRecord(const std::string& bytes, F f) {
    for (size_t at = 0; at + 4 <= bytes.size();) {
        const uint16_t len = Get16(bytes, at + 2);
        f(Get16(bytes, at), std::string_view(bytes).substr(at + 4, len));
        at += 4 + len;
    }
}

}  // namespace

CellTable::Row& CellTable::RowAt(uint32_t row) {
    if (lastRow_ == nullptr || lastRowNumber_ != row) {
        lastRowCells_ = lastRow_ == nullptr ? 0 : lastRow_->Cells.size();
        lastRow_ = &rows_[row];
        lastRowNumber_ = row;
    }
    return *lastRow_;
}

bool CellTable::Parse(const std::vector<const Record*>& records, std::string& why) {
    rows_.clear();
    lastRow_ = nullptr;
    Cell* last = nullptr;
    for (const Record* r : records) {
        if (r->id == kDbCell) {
            continue;
        }
        if (r->id == kRow) {
            if (r->data.size() < 16) {
                why = "ROWレコードが壊れています";
                return false;
            }
            Row& row = RowAt(Get16(r->data, 0));
            row.HasRecord = true;
            row.RowData = r->data;
            continue;
        }
        if (IsAttached(r->id)) {
            if (last == nullptr) {
                why = "数式に属さないレコードがあります";
                return false;
            }
            AppendRecord(last->Records, *r);
            continue;
        }
        const bool multi = r->id == kMulRk || r->id == kMulBlank;
        if (r->data.size() < 6) {
            why = "セルのレコードが壊れています";
            return false;
        }
        Cell cell;
        cell.FirstCol = Get16(r->data, 2);
        cell.LastCol = multi ? Get16(r->data, r->data.size() - 2) : cell.FirstCol;
        const size_t step = r->id == kMulRk ? 6 : 2;
        if (cell.LastCol < cell.FirstCol || cell.LastCol > 255 ||
            (multi && r->data.size() != 6 + step * (cell.LastCol - cell.FirstCol + 1))) {
            why = "セルのレコードが壊れています";
            return false;
        }
        AppendRecord(cell.Records, *r);
        std::vector<Cell>& cells = RowAt(Get16(r->data, 0)).Cells;
        // Cells come in column order; a later cell at a column already taken replaces that cell.
        auto at = std::lower_bound(cells.begin(), cells.end(), cell.FirstCol,
                                   [](const Cell& c, uint16_t col) { return c.FirstCol < col; });
        if (at != cells.end() && at->FirstCol == cell.FirstCol) {
            *at = std::move(cell);
        } else {
            at = cells.insert(at, std::move(cell));
        }
        last = &*at;
    }
    return true;
}

int32_t CellTable::LastValueRow() const {
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
        for (const Cell& cell : it->second.Cells) {
            if (IsValueCell(cell.Id())) {
                return static_cast<int32_t>(it->first);
            }
        }
    }
    return -1;
}

void CellTable::SplitMulti(uint16_t row, std::vector<Cell>& cells, size_t at) {
    const Cell multi = std::move(cells[at]);
    const uint16_t id = multi.Id();
    const std::string_view data = std::string_view(multi.Records).substr(4, Get16(multi.Records, 2));
    const bool rk = id == kMulRk;
    const size_t step = rk ? 6 : 2;
    std::vector<Cell> singles;
    for (uint16_t col = multi.FirstCol; col <= multi.LastCol; ++col) {
        std::string single;
        Put16(single, row);
        Put16(single, col);
        single.append(data.substr(4 + step * (col - multi.FirstCol), step));
        Cell cell{col, col, {}};
        AppendRecord(cell.Records, rk ? kRk : kBlank, single);
        singles.push_back(std::move(cell));
    }
    cells.erase(cells.begin() + static_cast<long>(at));
    cells.insert(cells.begin() + static_cast<long>(at), std::make_move_iterator(singles.begin()),
                 std::make_move_iterator(singles.end()));
}

bool CellTable::PutLabelSst(uint16_t row, uint16_t col, uint32_t sstIndex,
                            const std::vector<Record>& colInfos, uint16_t defaultXf, std::string& why) {
    Row& target = RowAt(row);
    std::vector<Cell>& cells = target.Cells;
    uint16_t xf = defaultXf;
    bool haveXf = false;

    // New cells usually go to the right of everything in the row.
    size_t at = cells.size();
    if (!cells.empty() && cells.back().LastCol >= col) {
        at = static_cast<size_t>(
            std::upper_bound(cells.begin(), cells.end(), col,
                             [](uint16_t c, const Cell& cell) { return c < cell.FirstCol; }) -
            cells.begin());
        if (at > 0 && cells[at - 1].LastCol >= col) {
            --at;
            if (cells[at].LastCol != cells[at].FirstCol) {
                SplitMulti(row, cells, at);
                at += col - cells[at].FirstCol;
            }
            bool anchor = false;
            ForEachRecord(cells[at].Records, [&anchor](uint16_t id, std::string_view) {
                anchor = anchor || id == kShrFmla || id == kArray || id == kTable;
            });
            if (anchor) {
                why = "共有数式または配列数式の基点セルには書き込めません";
                return false;
            }
            xf = Get16(cells[at].Records, 8);
            haveXf = true;
        }
    }
    if (!haveXf && target.HasRecord) {
        const std::string& d = target.RowData;
        if ((Get16(d, 12) & 0x0080) != 0) {  // fGhostDirty: the row has a default format
            xf = Get16(d, 14) & 0x0FFF;
            haveXf = true;
        }
    }
    if (!haveXf) {
        for (const Record& info : colInfos) {
            if (info.data.size() >= 8 && Get16(info.data, 0) <= col && col <= Get16(info.data, 2)) {
                xf = Get16(info.data, 6);
                break;
            }
        }
    }
    // A LABELSST record: header, row, column, format, string index.
    char label[14];
    const uint16_t words[] = {kLabelSst, 10, row, col, xf};
    for (size_t k = 0; k < 5; ++k) {
        label[2 * k] = static_cast<char>(words[k] & 0xFF);
        label[2 * k + 1] = static_cast<char>(words[k] >> 8);
    }
    for (size_t k = 0; k < 4; ++k) {
        label[10 + k] = static_cast<char>((sstIndex >> (8 * k)) & 0xFF);
    }
    if (at < cells.size() && cells[at].FirstCol == col) {
        cells[at].Records.assign(label, sizeof label);
        return true;
    }
    if (cells.capacity() == 0) {
        // Records fill rows alike: room for as many cells as the row written before.
        cells.reserve(std::max<size_t>(lastRowCells_, 4));
    }
    if (at == cells.size()) {
        cells.emplace_back();
    } else {
        cells.emplace(cells.begin() + static_cast<long>(at));
    }
    Cell& cell = cells[at];
    cell.FirstCol = col;
    cell.LastCol = col;
    cell.Records.assign(label, sizeof label);
    return true;
}

size_t CellTable::BlockCount() const {
    size_t blocks = 0;
    int64_t current = -1;
    for (const auto& [row, data] : rows_) {
        if (static_cast<int64_t>(row / kRowsPerBlock) != current) {
            current = row / kRowsPerBlock;
            ++blocks;
        }
    }
    return blocks;
}

bool CellTable::Emit(std::string& out, std::vector<size_t>& dbcells, uint16_t defaultXf,
                     std::string& why) const {
    auto it = rows_.begin();
    std::vector<size_t> cellStarts;
    std::vector<uint32_t> rowNumbers;
    while (it != rows_.end()) {
        const uint32_t block = it->first / kRowsPerBlock;
        auto end = it;
        while (end != rows_.end() && end->first / kRowsPerBlock == block) {
            ++end;
        }
        const size_t blockStart = out.size();
        size_t firstRowSize = 0;
        for (auto r = it; r != end; ++r) {
            const Row& row = r->second;
            std::string data;
            if (row.HasRecord) {
                data = row.RowData;
            } else {
                Put16(data, static_cast<uint16_t>(r->first));
                Put16(data, 0);
                Put16(data, 0);
                Put16(data, 0x00FF);  // default height, 12.75 pt
                Put16(data, 0);
                Put16(data, 0);
                Put16(data, 0x0100);  // a bit the format requires to be set
                Put16(data, defaultXf);
            }
            if (!row.Cells.empty()) {
                Set16(data, 2, row.Cells.front().FirstCol);
                Set16(data, 4, static_cast<uint16_t>(row.Cells.back().LastCol + 1));
            }
            if (r == it) {
                firstRowSize = 4 + data.size();
            }
            AppendRecord(out, kRow, data);
        }
        cellStarts.clear();
        rowNumbers.clear();
        for (auto r = it; r != end; ++r) {
            cellStarts.push_back(out.size());
            rowNumbers.push_back(r->first);
            for (const Cell& cell : r->second.Cells) {
                out += cell.Records;
            }
        }
        dbcells.push_back(out.size());
        std::string db;
        Put32(db, static_cast<uint32_t>(out.size() - blockStart));
        size_t previous = blockStart + firstRowSize;
        for (size_t k = 0; k < cellStarts.size(); ++k) {
            // Each offset spans the cells of the row before: a row of more than 64 KiB cannot be indexed.
            if (cellStarts[k] - previous > kMaxDbCellOffset) {
                why = "行 " + std::to_string(rowNumbers[k == 0 ? 0 : k - 1] + 1) +
                      " のデータが大きすぎて索引を作れません";
                return false;
            }
            Put16(db, static_cast<uint16_t>(cellStarts[k] - previous));
            previous = cellStarts[k];
        }
        AppendRecord(out, kDbCell, db);
        it = end;
    }
    return true;
}

size_t CellTable::ByteSize() const {
    size_t bytes = 0;
    for (const auto& [row, data] : rows_) {
        bytes += 4 + std::max<size_t>(16, data.RowData.size()) + 2;  // ROW record and its DBCELL offset
        for (const Cell& cell : data.Cells) {
            bytes += cell.Records.size();
        }
    }
    return bytes + 8 * BlockCount();  // DBCELL header and first offset
}

CellTable::Bounds CellTable::Extent() const {
    Bounds b;
    for (const auto& [row, data] : rows_) {
        if (b.Empty) {
            b.FirstRow = row;
            b.Empty = false;
        }
        b.LastRow = row;
        if (data.Cells.empty()) {
            continue;
        }
        const uint16_t first = data.Cells.front().FirstCol;
        const uint16_t last = data.Cells.back().LastCol;
        if (!b.HasCells) {
            b.FirstCol = first;
            b.LastCol = last;
            b.FirstCellRow = row;
            b.HasCells = true;
        }
        b.FirstCol = std::min(b.FirstCol, first);
        b.LastCol = std::max(b.LastCol, last);
        b.LastCellRow = row;
    }
    return b;
}

uint32_t CellTable::LabelSstCount() const {
    uint32_t n = 0;
    for (const auto& [row, data] : rows_) {
        for (const Cell& cell : data.Cells) {
            n += cell.Id() == kLabelSst ? 1 : 0;
        }
    }
    return n;
}
