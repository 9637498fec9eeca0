#pragma once

#include <string_view>

// `text` without the blanks and tabs at either end (the INI reader, mail settings, connection strings).
std::string_view TrimBlanks(std::string_view text);
