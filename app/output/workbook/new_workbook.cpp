#include "output/workbook/new_workbook.h"

#include <string_view>

#include "output/workbook/biff_record.h"

using namespace biff;

namespace {

std::string Bof(uint16_t type, int versionCode) {
    // verXLHigh / verLastXLSaved: 0 Excel 97, 1 Excel 2000, 2 Excel 2002, 3 Excel 2003.
    const uint32_t ver = versionCode == 97 ? 0 : versionCode == 2000 ? 1 : versionCode == 2002 ? 2 : 3;
    std::string d;
    Put16(d, kBiff8Version);
    Put16(d, type);
    Put16(d, 0x0DBB);                    // build identifier
    Put16(d, 0x07CC);                    // build year
    Put32(d, 0x00000001 | (ver << 14));  // fWin, highest version that edited the file
    Put32(d, 0x00000006 | (ver << 8));   // lowest BIFF version 8, last version that saved it
    return d;
}

std::string U16(uint16_t v) {
    std::string d;
    Put16(d, v);
    return d;
}

void Add(std::string& s, uint16_t id, std::string_view data = {}) {
    AppendRecord(s, id, data);
}

std::string Font(uint16_t weight) {
    std::string d;
    Put16(d, 220);     // 11 pt in twentieths of a point
    Put16(d, 0);       // no italic, strike-out, outline
    Put16(d, 0x7FFF);  // automatic colour
    Put16(d, weight);
    Put16(d, 0);    // no super/subscript
    Put8(d, 0);     // no underline
    Put8(d, 3);     // modern family
    Put8(d, 0x80);  // Shift-JIS character set
    Put8(d, 0);
    d += UnicodeString(u"ＭＳ Ｐゴシック", true);
    return d;
}

std::string Format(uint16_t index, std::u16string_view code) {
    std::string d;
    Put16(d, index);
    d += UnicodeString(code, false);
    return d;
}

std::string Xf(uint16_t font, bool style, uint8_t attributes) {
    std::string d;
    Put16(d, font);
    Put16(d, 0);                        // General number format
    Put16(d, style ? 0xFFF5 : 0x0001);  // style XF with no parent / locked cell XF of parent 0
    Put8(d, 0x20);                      // bottom aligned
    Put8(d, 0);                         // no rotation
    Put8(d, 0);                         // no indent
    Put8(d, attributes);                // which attribute groups a style XF leaves to its cells
    Put32(d, 0);                        // no borders
    Put32(d, 0);
    Put16(d, 0x20C0);  // pattern colours: system foreground and background
    return d;
}

void Globals(std::string& s, int versionCode, int sheetCount) {
    Add(s, kBof, Bof(kBofGlobals, versionCode));
    Add(s, kInterfaceHdr, U16(1200));
    Add(s, kMms, U16(0));
    Add(s, kInterfaceEnd);
    std::string access = UnicodeString(u"Gathra", false);
    access.resize(112, ' ');
    Add(s, kWriteAccess, access);
    Add(s, kCodePage, U16(1200));
    Add(s, kDsf, U16(0));
    std::string tabs;
    for (int i = 0; i < sheetCount; ++i) {
        Put16(tabs, static_cast<uint16_t>(i + 1));
    }
    Add(s, kTabId, tabs);
    Add(s, kWindowProtect, U16(0));
    Add(s, kProtect, U16(0));
    Add(s, kPassword, U16(0));
    Add(s, kProt4Rev, U16(0));
    Add(s, kProt4RevPass, U16(0));
    std::string window;
    Put16(window, 0x0168);  // position and size in twips
    Put16(window, 0x001E);
    Put16(window, 0x3A98);
    Put16(window, 0x2328);
    Put16(window, 0x0038);  // horizontal and vertical scroll bars, sheet tabs
    Put16(window, 0);       // first sheet active
    Put16(window, 0);       // first sheet tab shown
    Put16(window, 1);       // one sheet selected
    Put16(window, 0x0258);  // tab bar takes 60 % of the width
    Add(s, kWindow1, window);
    Add(s, kBackup, U16(0));
    Add(s, kHideObj, U16(0));
    Add(s, kDateMode, U16(0));
    Add(s, kPrecision, U16(1));
    Add(s, kRefreshAll, U16(0));
    Add(s, kBookBool, U16(0));
    // Four fonts, then the fifth stored one is index 5: index 4 does not exist in BIFF.
    Add(s, kFont, Font(400));
    Add(s, kFont, Font(400));
    Add(s, kFont, Font(400));
    Add(s, kFont, Font(400));
    Add(s, kFont, Font(400));
    Add(s, kFormat, Format(0x05, u"\"¥\"#,##0;\"¥\"\\-#,##0"));
    Add(s, kFormat, Format(0x06, u"\"¥\"#,##0;[Red]\"¥\"\\-#,##0"));
    Add(s, kFormat, Format(0x07, u"\"¥\"#,##0.00;\"¥\"\\-#,##0.00"));
    Add(s, kFormat, Format(0x08, u"\"¥\"#,##0.00;[Red]\"¥\"\\-#,##0.00"));
    Add(s, kFormat, Format(0x2A, u"_ \"¥\"* #,##0_ ;_ \"¥\"* \\-#,##0_ ;_ \"¥\"* \"-\"_ ;_ @_ "));
    Add(s, kFormat, Format(0x29, u"_ * #,##0_ ;_ * \\-#,##0_ ;_ * \"-\"_ ;_ @_ "));
    Add(s, kFormat, Format(0x2C, u"_ \"¥\"* #,##0.00_ ;_ \"¥\"* \\-#,##0.00_ ;_ \"¥\"* \"-\"??_ ;_ @_ "));
    Add(s, kFormat, Format(0x2B, u"_ * #,##0.00_ ;_ * \\-#,##0.00_ ;_ * \"-\"??_ ;_ @_ "));
    // Fifteen style XFs (the Normal style and its fourteen outline styles), then the cell XF 15
    // that every written cell uses.
    Add(s, kXf, Xf(0, true, 0x00));
    Add(s, kXf, Xf(1, true, 0xF4));
    Add(s, kXf, Xf(1, true, 0xF4));
    Add(s, kXf, Xf(2, true, 0xF4));
    Add(s, kXf, Xf(2, true, 0xF4));
    for (int i = 5; i < 15; ++i) {
        Add(s, kXf, Xf(0, true, 0xF4));
    }
    Add(s, kXf, Xf(0, false, 0x00));
    std::string style;
    Put16(style, 0x8000);  // built-in style on XF 0
    Put8(style, 0);        // Normal
    Put8(style, 0xFF);
    Add(s, kStyle, style);
    Add(s, kUsesElfs, U16(0));
    for (int i = 0; i < sheetCount; ++i) {
        std::string bound;
        Put32(bound, 0);  // stream position of the sheet's BOF, set when saving
        Put8(bound, 0);   // visible
        Put8(bound, 0);   // worksheet
        std::u16string name = u"Sheet";
        for (char c : std::to_string(i + 1)) {
            name.push_back(static_cast<char16_t>(c));
        }
        bound += UnicodeString(name, true);
        Add(s, kBoundSheet, bound);
    }
    std::string country;
    Put16(country, 81);  // Japan
    Put16(country, 81);
    Add(s, kCountry, country);
    std::string sst;
    Put32(sst, 0);
    Put32(sst, 0);
    Add(s, kSst, sst);
    Add(s, kExtSst, U16(8));
    Add(s, kEof);
}

void Worksheet(std::string& s, int versionCode, bool selected) {
    Add(s, kBof, Bof(kBofWorksheet, versionCode));
    std::string index(16, '\0');
    Add(s, kIndex, index);
    Add(s, kCalcMode, U16(1));
    Add(s, kCalcCount, U16(100));
    Add(s, kRefMode, U16(1));
    Add(s, kIteration, U16(0));
    std::string delta;
    PutDouble(delta, 0.001);
    Add(s, kDelta, delta);
    Add(s, kSaveRecalc, U16(1));
    Add(s, kPrintHeaders, U16(0));
    Add(s, kPrintGridlines, U16(0));
    Add(s, kGridSet, U16(1));
    Add(s, kGuts, std::string(8, '\0'));
    std::string rowHeight;
    Put16(rowHeight, 0);
    Put16(rowHeight, 0x00FF);
    Add(s, kDefaultRowHeight, rowHeight);
    Add(s, kWsBool, U16(0x04C1));
    Add(s, kHeader);
    Add(s, kFooter);
    Add(s, kHCenter, U16(0));
    Add(s, kVCenter, U16(0));
    std::string setup;
    Put16(setup, 9);       // A4
    Put16(setup, 100);     // scale %
    Put16(setup, 1);       // first page number
    Put16(setup, 1);       // fit to width
    Put16(setup, 1);       // fit to height
    Put16(setup, 0x0006);  // portrait; no printer-specific settings stored
    Put16(setup, 600);     // dpi
    Put16(setup, 600);
    PutDouble(setup, 0.3);  // header and footer margins in inches
    PutDouble(setup, 0.3);
    Put16(setup, 1);  // copies
    Add(s, kSetup, setup);
    Add(s, kDefColWidth, U16(8));
    Add(s, kDimensions, std::string(14, '\0'));
    std::string window;
    Put16(window, selected ? 0x06B6 : 0x04B6);  // grid, headers, zeros, outline symbols; selected tab
    Put16(window, 0);
    Put16(window, 0);
    Put16(window, 0x0040);  // automatic grid colour
    Put16(window, 0);
    Put16(window, 0);
    Put16(window, 0);
    Put16(window, 0);
    Put16(window, 0);
    Add(s, kWindow2, window);
    Add(s, kEof);
}

}  // namespace

std::string BuildNewWorkbookStream(int versionCode, int sheetCount) {
    std::string s;
    Globals(s, versionCode, sheetCount);
    for (int i = 0; i < sheetCount; ++i) {
        Worksheet(s, versionCode, i == 0);
    }
    return s;
}

std::string NewCellXfData() {
    return Xf(0, false, 0x00);
}
