// Text that comes from installation data (Lua strings used as paths, zip
// entry names without the UTF-8 flag) is code page 932 unless it is already
// valid UTF-8. Inside the program everything is UTF-8.
#pragma once

#include <QString>

#include <optional>
#include <string>
#include <string_view>

namespace gd {

bool isValidUtf8(std::string_view text);

// The text as UTF-8: unchanged when it is valid UTF-8, else converted from
// CP932. nullopt when it is neither.
std::optional<std::string> installTextToUtf8(std::string_view text);

// The program's UTF-8 text for Qt.
inline QString qtText(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

}  // namespace gd
