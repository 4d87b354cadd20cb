// Which standard libraries a script gets.
#pragma once

struct lua_State;

namespace gd {

using LuaCFunction = int (*)(lua_State*);

enum class LuaLibraries {
    // Every standard library but debug and newproxy (both could switch the
    // time limit off): for config.dat, which the user installed.
    Standard,
    // Standard, and of debug only traceback and getinfo, which read the call
    // stack and change nothing: for update.dat, which published archives
    // write against io and os, often with xpcall(f, debug.traceback).
    Update,
    // base, string, table, math and os.time/date/clock/difftime, without
    // anything that loads code, reaches files or processes, or changes
    // environments: for filelist.dat, which every check fetches and runs
    // before anyone agreed to anything.
    Safe,
};

// The lua_CFunction that opens `libraries` in a fresh state; run it with
// lua_cpcall. In every set string.dump is gone, every loader compiles source
// text only, the library functions that could run long without the
// interpreter noticing stop at the running call's deadline, and
// os.setlocale, where there is one, cannot change the scripts' locale.
LuaCFunction libraryOpener(LuaLibraries libraries);

// Sets the global `debug` (and what require("debug") gives, where package is
// open) to a table of traceback and getinfo alone, which only read the call
// stack; run it with lua_cpcall. The Update set opens it.
int openCallStackDebug(lua_State* state);

}  // namespace gd
