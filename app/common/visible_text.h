#pragma once

#include <string>
#include <string_view>

// Text from outside (a driver's or server's message, a workbook's contents and names, bytes from the
// terminal, a system error text) made safe for a screen: the status display, standard output and error,
// a message box. The rule works on code points, after the text is UTF-8, never on bytes: in UTF-8 the
// bytes 0x80 to 0x9F continue a character ("ﾟ" is EF BE 9F), so a byte filter would break Japanese text.
// - A control character, C0 (U+0000 to U+001F) other than tab, DEL (U+007F) or C1 (U+0080 to U+009F),
//   becomes "\x" and its code as two lower-case hex digits: ESC is shown as "\x1b", U+009B as "\x9b".
// - A byte that is not part of valid UTF-8 becomes U+FFFD.
// - Everything else, tab included, is kept as it is.
std::string VisibleText(std::string_view utf8);

// VisibleText of each line of a text whose lines the program itself broke with CR LF (a status line or
// message of several lines); the CR LF breaks stay.
std::string VisibleLines(std::string_view utf8);
