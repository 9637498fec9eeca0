#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "output/workbook/biff_record.h"

// The cell table of one worksheet taken apart: rows with their ROW record and cells, each cell with
// the records attached to it (a formula's STRING, SHRFMLA, ARRAY, TABLE and CONTINUE records).
// Written back in blocks of up to 32 rows, each closed by a DBCELL record.
//
// A cell keeps its records serialised (header and data, as in the stream): a new text cell is one
// 14-byte LABELSST record, small enough to live inside the string object, so a full upload of
// hundreds of thousands of cells costs no allocation per cell.
class CellTable {
public:
    struct Bounds {
        bool Empty = true;
        uint32_t FirstRow = 0, LastRow = 0;  // rows holding a cell or a ROW record
        uint16_t FirstCol = 0, LastCol = 0;  // over cells only
        bool HasCells = false;
        uint32_t FirstCellRow = 0, LastCellRow = 0;
    };

    // Takes the cell-table records of a sheet, in file order (DBCELL records are dropped).
    bool Parse(const std::vector<const biff::Record*>& records, std::string& why);

    // The highest row that holds a value cell, or -1.
    int32_t LastValueRow() const;

    // Puts a LABELSST cell at (row, col). The cell format comes from the cell replaced, else the
    // row's default format, else the column's (from `colInfos`), else `defaultXf`. Refuses, with a
    // reason, to replace the anchor cell of a shared or array formula.
    bool PutLabelSst(uint16_t row, uint16_t col, uint32_t sstIndex, const std::vector<biff::Record>& colInfos,
                     uint16_t defaultXf, std::string& why);

    // Appends the table to `out`; `dbcells` receives the position of each DBCELL record in `out`.
    // Fails, with a reason, when a row's cells are too large for the 16-bit offsets of DBCELL.
    bool Emit(std::string& out, std::vector<size_t>& dbcells, uint16_t defaultXf, std::string& why) const;
    size_t BlockCount() const;
    // At least the bytes Emit() writes.
    size_t ByteSize() const;
    Bounds Extent() const;
    uint32_t LabelSstCount() const;

private:
    struct Cell {
        uint16_t FirstCol = 0;
        uint16_t LastCol = 0;  // differs from FirstCol for MULRK and MULBLANK
        std::string Records;   // the cell record first, then the records attached to it
        uint16_t Id() const { return biff::Get16(Records, 0); }
    };
    struct Row {
        bool HasRecord = false;
        std::string RowData;      // the ROW record's data
        std::vector<Cell> Cells;  // sorted by first column, never overlapping
    };

    Row& RowAt(uint32_t row);
    static void SplitMulti(uint16_t row, std::vector<Cell>& cells, size_t at);

    std::map<uint32_t, Row> rows_;
    // Cells arrive row by row: the row of the last write is kept at hand.
    uint32_t lastRowNumber_ = 0;
    Row* lastRow_ = nullptr;
    size_t lastRowCells_ = 0;
};
