#include "support/lua_input_filter.h"

#include <algorithm>
#include <array>

namespace gdfuzz {

namespace {

constexpr std::array<std::string_view, 13> kOutsideNames = {
    "os",         "io",   "package", "require", "module",  "dofile", "loadfile",
    "loadstring", "load", "_G",      "getfenv", "setfenv", "print"};

bool isNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

bool reachesOutside(std::string_view chunk) {
    std::size_t at = 0;
    while (at < chunk.size()) {
        if (!isNameChar(chunk[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < chunk.size() && isNameChar(chunk[end])) ++end;
        const std::string_view name = chunk.substr(at, end - at);
        if (std::find(kOutsideNames.begin(), kOutsideNames.end(), name) != kOutsideNames.end())
            return true;
        at = end;
    }
    return false;
}

}  // namespace gdfuzz
