// What the fuzz targets put before a Lua input.
#pragma once

#include "script/lua_libraries.h"

#include <string>
#include <string_view>

namespace gdfuzz {

// The chunk behind a first line that takes away what an input of `libraries`
// could reach outside the interpreter: with the standard libraries os, io,
// package and the functions that load files or modules (the engine opens them
// on purpose, and an input could exit the fuzzer or touch the machine's
// files); with either set print, which would flood the fuzzer's output.
// Everything else stays, loadstring, load and _G included: an input can only
// reach what is left in the state, so no spelling of a name gets further.
// A chunk that starts as bytecode stays as it is: the engine refuses it
// before anything runs.
std::string confined(std::string_view chunk, gd::LuaLibraries libraries);

}  // namespace gdfuzz
