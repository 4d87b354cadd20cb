#include "script/lua_state.h"

#include <lua.hpp>

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;

int run(gd::LuaState& lua, std::string_view chunk) {
    if (lua.load(chunk, "test") != 0) return -1;
    return lua.pcall(0, 0);
}

// Scripts come from servers we do not control: an endless loop or a memory
// hog must end in a Lua error, not a hung or exhausted launcher.
TEST(LuaState, EndlessLoopsAndMemoryHogsEndInAnError) {
    gd::LuaState loop(200ms);
    ASSERT_TRUE(loop);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(run(loop, "while true do end"), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    // Neither the hook nor finalisers offer a way around the limit.
    gd::LuaState unhooked(200ms);
    EXPECT_NE(run(unhooked, "debug.sethook() while true do end"), 0);
    gd::LuaState finaliser(200ms);
    EXPECT_NE(run(finaliser,
                  "local p = newproxy(true) getmetatable(p).__gc = function() while true do end "
                  "end p = nil collectgarbage()"),
              0);

    gd::LuaState hog;
    EXPECT_NE(run(hog, "local t = {} for i = 1, 1e9 do t[i] = string.rep('x', 1024) .. i end"), 0);
    // The state stays usable after refusing the memory.
    lua_settop(hog.get(), 0);
    EXPECT_EQ(run(hog, "x = 1"), 0);
}

TEST(LuaState, PrecompiledChunksAreRefused) {
    gd::LuaState lua;
    ASSERT_EQ(run(lua, "bytes = string.dump(function() return 1 end)"), 0);
    lua_getfield(lua.get(), LUA_GLOBALSINDEX, "bytes");
    const std::string bytecode(gd::luaText(lua.get(), -1));
    lua_pop(lua.get(), 1);
    ASSERT_FALSE(bytecode.empty());
    EXPECT_EQ(lua.load(bytecode, "update.dat"), LUA_ERRSYNTAX);
}

TEST(LuaState, TextOfStringsAndNumbersOnly) {
    gd::LuaState lua;
    ASSERT_EQ(run(lua, "s = 'a\\0b' n = 21 f = 1.5 t = {}"), 0);
    lua_State* state = lua.get();
    const auto textOf = [&](const char* name) {
        lua_getfield(state, LUA_GLOBALSINDEX, name);
        std::string text(gd::luaText(state, -1));
        lua_pop(state, 1);
        return text;
    };
    EXPECT_EQ(textOf("s"), std::string("a\0b", 3));
    EXPECT_EQ(textOf("n"), "21");
    EXPECT_EQ(textOf("f"), "1.5");
    EXPECT_EQ(textOf("t"), "");
}

}  // namespace
