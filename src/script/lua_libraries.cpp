#include "script/lua_libraries.h"

#include "script/lua_bounded_functions.h"
#include "script/lua_pattern_matcher.h"
#include "script/lua_source_loaders.h"
#include "script/script_locale.h"

#include "util/text_escape.h"

#include <lua.hpp>

#include <cstdio>
#include <initializer_list>
#include <string>

namespace gd {

namespace {

void removeField(lua_State* state, int table, const char* name) {
    lua_pushnil(state);
    lua_setfield(state, table, name);
}

void setFunction(lua_State* state, int table, const char* name, lua_CFunction function) {
    lua_pushcfunction(state, function);
    lua_setfield(state, table, name);
}

void writeScriptLine(std::string_view text) {
    const std::string shown = "script: " + escapeControls(text, "\t") + "\n";
    std::fwrite(shown.data(), 1, shown.size(), stderr);
}

// Lua's print, to standard error and marked as a script's: standard output
// is what gdtool's callers parse, and a version script fetched from a server
// must not be able to write a line of gdtool's there. The pieces are joined
// on Lua's stack, where an error in a __tostring unwinds nothing of ours.
int printToStandardError(lua_State* state) {
    const int count = lua_gettop(state);
    luaL_checkstack(state, count * 2 + 2, "too many arguments to print");
    lua_getglobal(state, "tostring");
    const int tostring = lua_gettop(state);
    for (int i = 1; i <= count; ++i) {
        if (i > 1) lua_pushliteral(state, "\t");
        lua_pushvalue(state, tostring);
        lua_pushvalue(state, i);
        lua_call(state, 1, 1);
        if (lua_type(state, -1) != LUA_TSTRING && lua_type(state, -1) != LUA_TNUMBER)
            return luaL_error(state,
                              LUA_QL("tostring") " must return a string to " LUA_QL("print"));
    }
    lua_concat(state, lua_gettop(state) - tostring);
    std::size_t length = 0;
    const char* text = lua_tolstring(state, -1, &length);
    writeScriptLine({text, length});
    return 0;
}

// What both sets share. The string table is also the strings' metatable's
// __index, so ("a"):find(...) reaches the same functions.
void harden(lua_State* state) {
    setFunction(state, LUA_GLOBALSINDEX, "print", printToStandardError);
    // debug.sethook turns the time limit off, and finalisers (newproxy)
    // run with hooks disabled.
    removeField(state, LUA_GLOBALSINDEX, "debug");
    removeField(state, LUA_GLOBALSINDEX, "newproxy");

    lua_getfield(state, LUA_GLOBALSINDEX, LUA_STRLIBNAME);
    const int string = lua_gettop(state);
    removeField(state, string, "dump");
    setFunction(state, string, "find", boundedFind);
    setFunction(state, string, "match", boundedMatch);
    setFunction(state, string, "gmatch", boundedGmatch);
    // Lua 5.1's old name of gmatch, the same function.
    lua_getfield(state, string, "gmatch");
    lua_setfield(state, string, "gfind");
    setFunction(state, string, "gsub", boundedGsub);
    setFunction(state, string, "rep", boundedRep);
    lua_pop(state, 1);

    lua_getfield(state, LUA_GLOBALSINDEX, LUA_TABLIBNAME);
    setFunction(state, lua_gettop(state), "sort", boundedSort);
    lua_pop(state, 1);
}

int openStandard(lua_State* state) {
    luaL_openlibs(state);
    lua_getfield(state, LUA_GLOBALSINDEX, LUA_LOADLIBNAME);
    lua_getfield(state, -1, "loaded");
    removeField(state, lua_gettop(state), LUA_DBLIBNAME);
    lua_pop(state, 2);
    lua_getfield(state, LUA_GLOBALSINDEX, LUA_OSLIBNAME);
    setFunction(state, lua_gettop(state), "setlocale", fixedScriptSetlocale);
    lua_pop(state, 1);
    installSourceLoaders(state);
    harden(state);
    return 0;
}

int openUpdate(lua_State* state) {
    openStandard(state);
    return openCallStackDebug(state);
}

// Keeps only the named functions of the global table `library`.
void keepOnly(lua_State* state, const char* library, std::initializer_list<const char*> names) {
    lua_getfield(state, LUA_GLOBALSINDEX, library);
    lua_createtable(state, 0, static_cast<int>(names.size()));
    for (const char* name : names) {
        lua_getfield(state, -2, name);
        lua_setfield(state, -2, name);
    }
    lua_setfield(state, LUA_GLOBALSINDEX, library);
    lua_pop(state, 1);
}

int openSafe(lua_State* state) {
    const luaL_Reg libraries[] = {{"", luaopen_base},
                                  {LUA_TABLIBNAME, luaopen_table},
                                  {LUA_STRLIBNAME, luaopen_string},
                                  {LUA_MATHLIBNAME, luaopen_math},
                                  {LUA_OSLIBNAME, luaopen_os}};
    for (const luaL_Reg& library : libraries) {
        lua_pushcfunction(state, library.func);
        lua_pushstring(state, library.name);
        lua_call(state, 1, 0);
    }
    for (const char* name : {"dofile", "loadfile", "load", "loadstring", "require", "module",
                             "getfenv", "setfenv", "collectgarbage"})
        removeField(state, LUA_GLOBALSINDEX, name);
    keepOnly(state, LUA_OSLIBNAME, {"time", "date", "clock", "difftime"});
    harden(state);
    return 0;
}

}  // namespace

int openCallStackDebug(lua_State* state) {
    const int top = lua_gettop(state);
    luaopen_debug(state);
    const int full = lua_gettop(state);
    lua_createtable(state, 0, 2);
    for (const char* name : {"traceback", "getinfo"}) {
        lua_getfield(state, full, name);
        lua_setfield(state, -2, name);
    }
    lua_getfield(state, LUA_REGISTRYINDEX, "_LOADED");
    lua_pushvalue(state, -2);
    lua_setfield(state, -2, LUA_DBLIBNAME);
    lua_pop(state, 1);
    lua_setfield(state, LUA_GLOBALSINDEX, LUA_DBLIBNAME);
    lua_settop(state, top);
    return 0;
}

LuaCFunction libraryOpener(LuaLibraries libraries) {
    switch (libraries) {
        case LuaLibraries::Safe:
            return openSafe;
        case LuaLibraries::Update:
            return openUpdate;
        case LuaLibraries::Standard:
            break;
    }
    return openStandard;
}

}  // namespace gd
