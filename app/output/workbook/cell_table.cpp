#include "output/workbook/cell_table.h"

#include <algorithm>

using namespace biff;

namespace {

bool IsAttached(uint16_t id) {
    return id == kString || id == kShrFmla || id == kArray || id == kTable || id == kContinue;
}

constexpr uint16_t kDefaultCellXf = 15;

}  // namespace

bool CellTable::Parse(const std::vector<const Record*>& records, std::string& why) {
    rows_.clear();
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
            Row& row = rows_[Get16(r->data, 0)];
            row.HasRecord = true;
            row.RowRecord = *r;
            continue;
        }
        if (IsAttached(r->id)) {
            if (last == nullptr) {
                why = "数式に属さないレコードがあります";
                return false;
            }
            last->Records.push_back(*r);
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
        cell.Records.push_back(*r);
        auto& cells = rows_[Get16(r->data, 0)].Cells;
        cells[cell.FirstCol] = std::move(cell);
        last = &cells[Get16(r->data, 2)];
    }
    return true;
}

int32_t CellTable::LastValueRow() const {
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
        for (const auto& [col, cell] : it->second.Cells) {
            if (IsValueCell(cell.Records.front().id)) {
                return static_cast<int32_t>(it->first);
            }
        }
    }
    return -1;
}

void CellTable::SplitMulti(uint16_t row, std::map<uint16_t, Cell>& cells, uint16_t firstCol) {
    Cell multi = std::move(cells[firstCol]);
    cells.erase(firstCol);
    const Record& r = multi.Records.front();
    const bool rk = r.id == kMulRk;
    const size_t step = rk ? 6 : 2;
    for (uint16_t col = multi.FirstCol; col <= multi.LastCol; ++col) {
        const size_t at = 4 + step * (col - multi.FirstCol);
        Record single{rk ? kRk : kBlank, {}};
        Put16(single.data, row);
        Put16(single.data, col);
        single.data.append(r.data, at, step);
        cells[col] = Cell{col, col, {std::move(single)}};
    }
}

bool CellTable::PutLabelSst(uint16_t row, uint16_t col, uint32_t sstIndex,
                            const std::vector<Record>& colInfos, std::string& why) {
    Row& target = rows_[row];
    auto& cells = target.Cells;
    uint16_t xf = kDefaultCellXf;
    bool haveXf = false;

    auto it = cells.upper_bound(col);
    if (it != cells.begin()) {
        --it;
        if (it->second.LastCol >= col) {
            if (it->second.LastCol != it->second.FirstCol) {
                SplitMulti(row, cells, it->first);
            }
            const Cell& old = cells.at(col);
            for (const Record& r : old.Records) {
                if (r.id == kShrFmla || r.id == kArray || r.id == kTable) {
                    why = "共有数式または配列数式の基点セルには書き込めません";
                    return false;
                }
            }
            xf = Get16(old.Records.front().data, 4);
            haveXf = true;
        }
    }
    if (!haveXf && target.HasRecord) {
        const std::string& d = target.RowRecord.data;
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
    Record label{kLabelSst, {}};
    Put16(label.data, row);
    Put16(label.data, col);
    Put16(label.data, xf);
    Put32(label.data, sstIndex);
    cells[col] = Cell{col, col, {std::move(label)}};
    return true;
}

size_t CellTable::BlockCount() const {
    size_t blocks = 0;
    int64_t current = -1;
    for (const auto& [row, data] : rows_) {
        if (static_cast<int64_t>(row / 32) != current) {
            current = row / 32;
            ++blocks;
        }
    }
    return blocks;
}

void CellTable::Emit(std::string& out, std::vector<size_t>& dbcells) const {
    auto it = rows_.begin();
    while (it != rows_.end()) {
        const uint32_t block = it->first / 32;
        auto end = it;
        while (end != rows_.end() && end->first / 32 == block) {
            ++end;
        }
        const size_t blockStart = out.size();
        size_t firstRowSize = 0;
        for (auto r = it; r != end; ++r) {
            const Row& row = r->second;
            Record rec;
            if (row.HasRecord) {
                rec = row.RowRecord;
            } else {
                rec.id = kRow;
                Put16(rec.data, static_cast<uint16_t>(r->first));
                Put16(rec.data, 0);
                Put16(rec.data, 0);
                Put16(rec.data, 0x00FF);  // default height, 12.75 pt
                Put16(rec.data, 0);
                Put16(rec.data, 0);
                Put16(rec.data, 0x0100);  // a bit the format requires to be set
                Put16(rec.data, kDefaultCellXf);
            }
            if (!row.Cells.empty()) {
                Set16(rec.data, 2, row.Cells.begin()->second.FirstCol);
                Set16(rec.data, 4, static_cast<uint16_t>(row.Cells.rbegin()->second.LastCol + 1));
            }
            if (r == it) {
                firstRowSize = 4 + rec.data.size();
            }
            AppendRecord(out, rec);
        }
        std::vector<size_t> cellStarts;
        for (auto r = it; r != end; ++r) {
            cellStarts.push_back(out.size());
            for (const auto& [col, cell] : r->second.Cells) {
                for (const Record& rec : cell.Records) {
                    AppendRecord(out, rec);
                }
            }
        }
        dbcells.push_back(out.size());
        std::string db;
        Put32(db, static_cast<uint32_t>(out.size() - blockStart));
        size_t previous = blockStart + firstRowSize;
        for (size_t start : cellStarts) {
            Put16(db, static_cast<uint16_t>(start - previous));
            previous = start;
        }
        AppendRecord(out, kDbCell, db);
        it = end;
    }
}

CellTable::Bounds CellTable::Extent() const {
    Bounds b;
    for (const auto& [row, data] : rows_) {
        if (b.Empty) {
            b.FirstRow = row;
            b.Empty = false;
        }
        b.LastRow = row;
        for (const auto& [col, cell] : data.Cells) {
            if (!b.HasCells) {
                b.FirstCol = cell.FirstCol;
                b.LastCol = cell.LastCol;
                b.FirstCellRow = row;
                b.HasCells = true;
            }
            b.FirstCol = std::min(b.FirstCol, cell.FirstCol);
            b.LastCol = std::max(b.LastCol, cell.LastCol);
            b.LastCellRow = row;
        }
    }
    return b;
}

uint32_t CellTable::LabelSstCount() const {
    uint32_t n = 0;
    for (const auto& [row, data] : rows_) {
        for (const auto& [col, cell] : data.Cells) {
            n += cell.Records.front().id == kLabelSst ? 1 : 0;
        }
    }
    return n;
}
