#include "support/lua_prelude.h"

namespace gdfuzz {

std::string confined(std::string_view chunk, gd::LuaLibraries libraries) {
    if (chunk.starts_with('\x1b')) return std::string(chunk);
    // Global assignments on one line of their own: the input's line numbers
    // move by one, and nothing else about it changes.
    const std::string_view prelude =
        libraries == gd::LuaLibraries::Standard
            ? "os, io, package, require, module, dofile, loadfile, print = nil\n"
            : "print = nil\n";
    return std::string(prelude).append(chunk);
}

}  // namespace gdfuzz
