#include "output/workbook/xlsx_new_book.h"

namespace {

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
constexpr const char* kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr const char* kRelationships = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr const char* kContentTypeBase = "application/vnd.openxmlformats-officedocument.spreadsheetml.";

std::string ContentTypes(int sheets) {
    std::string s = kDeclaration;
    s += "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
         "<Default Extension=\"rels\" "
         "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
         "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
         "<Override PartName=\"/xl/workbook.xml\" ContentType=\"";
    s += kContentTypeBase;
    s += "sheet.main+xml\"/>";
    for (int k = 1; k <= sheets; ++k) {
        s += "<Override PartName=\"/xl/worksheets/sheet" + std::to_string(k) + ".xml\" ContentType=\"";
        s += kContentTypeBase;
        s += "worksheet+xml\"/>";
    }
    s += "<Override PartName=\"/xl/styles.xml\" ContentType=\"";
    s += kContentTypeBase;
    s += "styles+xml\"/></Types>";
    return s;
}

std::string PackageRelationships() {
    return std::string(kDeclaration) +
           "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
           "<Relationship Id=\"rId1\" Type=\"" +
           kRelationships +
           "/officeDocument\" Target=\"xl/workbook.xml\"/>"
           "</Relationships>";
}

std::string Workbook(int sheets) {
    std::string s = kDeclaration;
    s += std::string("<workbook xmlns=\"") + kMain + "\" xmlns:r=\"" + kRelationships + "\">";
    s += "<bookViews><workbookView/></bookViews><sheets>";
    for (int k = 1; k <= sheets; ++k) {
        const std::string n = std::to_string(k);
        s += "<sheet name=\"Sheet" + n + "\" sheetId=\"" + n + "\" r:id=\"rId" + n + "\"/>";
    }
    s += "</sheets></workbook>";
    return s;
}

std::string WorkbookRelationships(int sheets) {
    std::string s = kDeclaration;
    s += "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
    for (int k = 1; k <= sheets; ++k) {
        const std::string n = std::to_string(k);
        s += "<Relationship Id=\"rId" + n + "\" Type=\"" + kRelationships +
             "/worksheet\" Target=\"worksheets/sheet" + n + ".xml\"/>";
    }
    s += "<Relationship Id=\"rId" + std::to_string(sheets + 1) + "\" Type=\"" + kRelationships +
         "/styles\" Target=\"styles.xml\"/></Relationships>";
    return s;
}

// One font (11 pt, a Japanese gothic face as the .xls writer uses), the two fills every book has, no
// borders, one cell format and the Normal style.
std::string Styles() {
    return std::string(kDeclaration) + "<styleSheet xmlns=\"" + kMain + "\">" +
           "<fonts count=\"1\"><font><sz val=\"11\"/><name val=\"ＭＳ Ｐゴシック\"/><family val=\"3\"/>"
           "<charset val=\"128\"/></font></fonts>"
           "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill>"
           "<fill><patternFill patternType=\"gray125\"/></fill></fills>"
           "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
           "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" "
           "borderId=\"0\"/></cellStyleXfs>"
           "<cellXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" "
           "xfId=\"0\"/></cellXfs>"
           "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
           "</styleSheet>";
}

std::string Worksheet(bool selected) {
    return std::string(kDeclaration) + "<worksheet xmlns=\"" + kMain + "\" xmlns:r=\"" + kRelationships +
           "\">" + "<dimension ref=\"A1\"/><sheetViews><sheetView " + (selected ? "tabSelected=\"1\" " : "") +
           "workbookViewId=\"0\"/></sheetViews><sheetFormatPr defaultRowHeight=\"13.5\"/><sheetData/>"
           "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" "
           "footer=\"0.3\"/>"
           "</worksheet>";
}

}  // namespace

std::vector<std::pair<std::string, std::string>> NewXlsxParts(int sheetCount) {
    std::vector<std::pair<std::string, std::string>> parts;
    parts.emplace_back("[Content_Types].xml", ContentTypes(sheetCount));
    parts.emplace_back("_rels/.rels", PackageRelationships());
    parts.emplace_back("xl/workbook.xml", Workbook(sheetCount));
    parts.emplace_back("xl/_rels/workbook.xml.rels", WorkbookRelationships(sheetCount));
    parts.emplace_back("xl/styles.xml", Styles());
    for (int k = 1; k <= sheetCount; ++k) {
        parts.emplace_back("xl/worksheets/sheet" + std::to_string(k) + ".xml", Worksheet(k == 1));
    }
    return parts;
}
