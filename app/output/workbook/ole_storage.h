#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// An OLE2 compound file held in memory: the tree of storages and streams, names kept as the file
// spells them (control characters included) and storage class ids kept, so that a workbook's
// other streams (document properties, macros) survive a rewrite.
struct OleEntry {
    std::string Name;  // UTF-8
    bool IsStorage = false;
    std::string Data;                   // stream contents
    std::array<uint8_t, 16> ClassId{};  // storages only
    std::vector<OleEntry> Children;     // storages only, in the order of the file
};

// Parses a compound file. Returns false with a reason when `bytes` is not a readable OLE2 file.
bool ReadCompoundFile(std::string_view bytes, OleEntry& root, std::string& why);

// Serialises `root` into a compound file with 512-byte sectors and hands the bytes to `take` (they
// live only during the call). The child named `firstStream` is created first, then the others in
// order. False with a reason when the file cannot be built, or when `take` returns false.
bool WriteCompoundFile(const OleEntry& root, const std::string& firstStream,
                       const std::function<bool(std::string_view)>& take, std::string& why);
