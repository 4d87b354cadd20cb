#include "script/lua_state.h"

#include "support/child_run.h"
#include "support/temp_dir.h"

#include <lua.hpp>

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;

int run(gd::LuaState& lua, std::string_view chunk) {
    if (lua.load(chunk, "test") != 0) return -1;
    return lua.pcall(0, 0);
}

// Bytecode as Lua itself writes it, the way a hostile script would carry it.
std::string bytecodeOf(const char* source) {
    lua_State* state = luaL_newstate();
    std::string bytes;
    if (luaL_loadstring(state, source) == 0) {
        lua_dump(
            state,
            [](lua_State*, const void* piece, std::size_t size, void* out) {
                static_cast<std::string*>(out)->append(static_cast<const char*>(piece), size);
                return 0;
            },
            &bytes);
    }
    lua_close(state);
    return bytes;
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

struct Overrun {
    const char* name;
    const char* chunk;
    bool fails;              // false: the sound result is a success within the usual limit
    const char* setup = "";  // run first, kSetupRuns times, each with a fresh limit
};

// Once past its limit a call fails within about a second, whatever catches
// the error and however long one library call would take. Each row runs in a
// child process, so that a row that hangs fails alone.
TEST(LuaState, TimeLimitCannotBeCaughtOrOutrun) {
    constexpr auto kLimit = 500ms;
    constexpr auto kBound = 5s;
    constexpr int kSetupRuns = 32;
    const char* const loop = "function() while true do end end";
    const std::string pcallLoop = std::string("while true do pcall(") + loop + ") end";
    const std::string xpcallLoop =
        std::string("while true do xpcall(") + loop + ", " + loop + ") end";
    const Overrun cases[] = {
        {"pcall in a loop", pcallLoop.c_str(), true},
        {"looping error handler", xpcallLoop.c_str(), true},
        {"find", "(('a'):rep(2000)):find('.-.-.-.-b')", true},
        {"match", "(('a'):rep(2000)):match('(.-)(.-)(.-)(.-)b')", true},
        {"gmatch", "for m in (('a'):rep(2000)):gmatch('.-.-.-.-b') do end", true},
        {"gsub", "string.gsub(('a'):rep(2000), '.-.-.-.-b', '')", true},
        {"deep pattern", "string.find(('a'):rep(4e5), ('a?'):rep(4e5))", true},
        {"plain find",
         "local s = ('a'):rep(2^20) for i = 1, 20 do "
         "string.find(s, ('a'):rep(2^19) .. 'b', 1, true) end",
         false},
        {"rep of nothing", "for i = 1, 20 do string.rep('', 2^31 - 1) end", false},
        {"upper", "local s = ('x'):rep(2^26) for i = 1, 50 do pcall(string.upper, s) end", true},
        {"concat",
         "local t = {} for i = 1, 2^15 do t[i] = ('x'):rep(1000) end "
         "for i = 1, 100 do pcall(table.concat, t) end",
         true},
        {"format", "local s = ('x'):rep(2^25) for i = 1, 50 do pcall(string.format, '%q', s) end",
         true},
        {"sort", "table.sort(t, rawequal)", true,
         "t = t or {} for i = #t + 1, #t + 2^17 do t[i] = i end"},
    };
    for (const Overrun& row : cases) {
        // What must succeed gets the launcher's own limit, so that a slow
        // machine (or a sanitizer build) does not turn it into an overrun.
        const auto limit = row.fails ? std::chrono::milliseconds(kLimit) : gd::kLuaTimeLimit;
        const gdtest::ChildEnd end = gdtest::runInChild(
            [&] {
                gd::LuaState lua(limit);
                for (int i = 0; *row.setup != '\0' && i < kSetupRuns; ++i)
                    if (run(lua, row.setup) != 0) return 2;
                return run(lua, row.chunk) == 0 ? 0 : 1;
            },
            limit + kBound);
        EXPECT_TRUE(end.finished && end.signal == 0 && end.exitCode == (row.fails ? 1 : 0) &&
                    end.took < limit + kBound)
            << row.name << ": " << gdtest::describe(end);
    }
}

// A loop of library calls whose results are interned already runs a few
// hundred instructions and allocates nothing, however long each call takes:
// only the look at the clock that every call makes can stop it. A limit that
// has passed before the call begins takes the clock out of the question: the
// first look stops it, the instruction count never looks, and nothing else
// would.
TEST(LuaState, EveryCallLooksAtTheClock) {
    gd::LuaState lua(-1ms);
    ASSERT_TRUE(lua);
    // Outside any timed call, so that the loop finds its strings interned.
    ASSERT_EQ(luaL_dostring(lua.get(), "s = ('x'):rep(4096) interned = s:upper()"), 0);
    ASSERT_EQ(lua.load("for i = 1, 50 do string.upper(s) end", "test"), 0);
    EXPECT_EQ(lua.pcall(0, 0), LUA_ERRRUN);
    EXPECT_EQ(std::string(gd::luaText(lua.get(), -1)), "script ran longer than its time limit");
}

// The engine's own find, match, gmatch, gsub, rep and sort give what
// liblua5.1's give, quirks included; liblua itself is the oracle.
TEST(LuaState, BoundedLibraryFunctionsAgreeWithLiblua) {
    const char* const cases[] = {
        "return ('hello world'):find('o w')",
        "return ('hello world'):find('l+')",
        "return ('hello world'):find('(o)(r?)', 6)",
        "return ('a.b'):find('.', 1, true)",
        "return ('abc'):find('', 10)",
        "return ('abc'):find('b', -1)",
        "return ('key = value'):match('^(%w+)%s*=%s*(%w+)$')",
        "return ('THE (quick) fox'):match('%f[%a]%a+%f[%A]')",
        "return ('x = [[a]] y'):match('%b[]')",
        "return ('2021/06/01'):match('()(%d+)/(%d+)()')",
        "return ('abcabc'):match('(a)(b)c%1%2')",
        "return ('a,b,,c'):gsub(',', ';')",
        "return ('hello'):gsub('', '-')",
        "return ('abc'):gsub('%w', '%0%0', 2)",
        "return ('abc'):gsub('(%w)', {a = 1, b = true})",
        "return ('abc'):gsub('%w', function(c) if c == 'b' then return false end return c:upper() "
        "end)",
        "return ('a%b'):gsub('%%', '%%%%')",
        "return ('x'):gsub('x', '%z')",
        "local t = {} for k, v in ('a=1, b=2'):gmatch('(%w+)=(%w+)') do t[#t + 1] = k .. v end "
        "return table.concat(t, ' ')",
        "local n = 0 for w in string.gfind('one two', '%a+') do n = n + #w end return n",
        "return ('ab'):rep(3), ('ab'):rep(0), ('ab'):rep(-1), (''):rep(5), ('x'):rep(2.9)",
        "local t = {5, 3, 9, 1, 7, 3} table.sort(t) return table.concat(t, ',')",
        "local t = {'b', 'a', 'c'} table.sort(t, function(x, y) return x > y end) "
        "return table.concat(t)",
        "return pcall(string.find, 'a', '[a')",
        "return pcall(string.find, 'a', '%')",
        "return pcall(string.gsub, 'a', '(a', 'x')",
        "return pcall(string.match, 'a', '%1')",
        "return pcall(table.sort, {3, 1, 2}, function() return true end)",
        "return select('#', ('abc'):find('x')), ('abc'):match('((a)(b))')",
        "return xpcall(function() error('x', 0) end, function(m) return 'handled ' .. m end)",
        "return xpcall(function() return 1, 2 end, print)",
        "return xpcall(error, 5)",
    };
    const auto results = [](lua_State* state, int loaded) {
        std::string text;
        if (loaded != 0 || lua_pcall(state, 0, LUA_MULTRET, 0) != 0) return std::string("error");
        for (int i = 1; i <= lua_gettop(state); ++i) {
            text += lua_isstring(state, i) ? lua_tostring(state, i) : luaL_typename(state, i);
            text += '|';
        }
        return text;
    };
    for (const char* chunk : cases) {
        lua_State* stock = luaL_newstate();
        luaL_openlibs(stock);
        const std::string expected = results(stock, luaL_loadstring(stock, chunk));
        lua_close(stock);
        gd::LuaState lua;
        EXPECT_EQ(results(lua.get(), lua.load(chunk, "test")), expected) << chunk;
    }
}

TEST(LuaState, PrecompiledChunksAreRefusedWhereverTheyAreLoaded) {
    const std::string bytecode = bytecodeOf("ran = true return true");
    ASSERT_FALSE(bytecode.empty());
    gd::LuaState topLevel;
    EXPECT_EQ(topLevel.load(bytecode, "update.dat"), LUA_ERRSYNTAX);

    gdtest::TempDir temp;
    gdtest::writeFile(temp.path() / "compiled.lua", bytecode);
    const std::string file = (temp.path() / "compiled.lua").string();
    const std::pair<const char*, std::string> cases[] = {
        {"loadstring", "f = loadstring(B)"},
        {"load", "local b = B f = load(function() local piece = b b = nil return piece end)"},
        {"loadfile", "f = loadfile(FILE)"},
        {"dofile", "dofile(FILE)"},
        {"require", "package.path = DIR .. '/?.lua' require('compiled')"},
        {"string.dump", "f = loadstring(string.dump(function() ran = true end))"},
    };
    for (const auto& [name, chunk] : cases) {
        gd::LuaState lua;
        lua_State* state = lua.get();
        lua_pushlstring(state, bytecode.data(), bytecode.size());
        lua_setfield(state, LUA_GLOBALSINDEX, "B");
        lua_pushstring(state, file.c_str());
        lua_setfield(state, LUA_GLOBALSINDEX, "FILE");
        lua_pushstring(state, temp.path().c_str());
        lua_setfield(state, LUA_GLOBALSINDEX, "DIR");
        run(lua, chunk);
        run(lua, "if f then f() end");
        lua_getfield(state, LUA_GLOBALSINDEX, "ran");
        EXPECT_TRUE(lua_isnil(state, -1)) << name;
    }
    // Source text still loads through each of them.
    gdtest::writeFile(temp.path() / "source.lua", "return 7");
    gd::LuaState lua;
    EXPECT_EQ(
        run(lua, "package.path = '" + temp.path().string() +
                     "/?.lua' assert(require('source') == 7 and loadstring('return 7')() == 7 "
                     "and load(function() return nil end)) assert(dofile('" +
                     temp.path().string() + "/source.lua') == 7)"),
        0);
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
