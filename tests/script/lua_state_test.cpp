#include "script/lua_state.h"

#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/version_manifest.h"
#include "support/child_run.h"
#include "support/temp_dir.h"
#include "update/patch.h"
#include "update/update_script.h"

#include <unistd.h>
#include <lua.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <thread>

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
        {"deep pattern", "string.find(('a'):rep(4e5), ('a?'):rep(4e5) .. 'b')", true},
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
        // gfind is gmatch itself; rep's count is luaL_checkint's: the low 32 bits
        "return tostring(string.gfind == string.gmatch)",
        "return ('ab'):rep(2^32 + 3), ('ab'):rep(2^31), ('x'):rep(-2^32 + 2), ('x'):rep('3'), "
        "('x'):rep(0/0), ('x'):rep(1/0), ('x'):rep(-1/0), ('x'):rep(2^63)",
        "return pcall(string.rep, 'x', 'three')",
        // patterns as deep as Lua's own C stack takes, and backtracking through captures
        "return #(('a'):rep(200)):match(('a?'):rep(200))",
        "return #(('a'):rep(30000)):match(('a?'):rep(30000))",
        "return (('ab'):rep(3000)):find(('(a)(b)'):rep(16) .. '$')",
        "return ('aaab'):match('(a-)(a*)b')",
        "return ('hello big world'):match('^(.-)%s(.*)$')",
        "return ('xyz'):match('(x?)(x?)yz')",
        "return ('aaa'):match('(a+)(a+)')",
        "return ('abcabcabcx'):find('(abc)%1+')",
        "return ('[[x]] and [[y]]'):gsub('%[%[(.-)%]%]', '<%1>')",
        "return ('  trimmed  '):match('^%s*(.-)%s*$')",
        "return ('a(b(c)d)e'):match('%b()'), ('THE (quick)'):find('%f[%a]%a+', 5)",
        "return pcall(string.match, ('a'):rep(40), ('(a)'):rep(40))",
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

// What the engine changes in the libraries it offers stays out of sight:
// Debian's lua5.1 interpreter is the oracle. Each chunk runs as a main chunk
// named "=stdin", called from C, with the set that update.dat gets, and
// leaves its result in R.
int runAsMainChunk(lua_State* state) {
    const auto* chunk = static_cast<const std::string*>(lua_touserdata(state, 1));
    if (luaL_loadbuffer(state, chunk->data(), chunk->size(), "=stdin") != 0) lua_error(state);
    lua_call(state, 0, 0);
    return 0;
}

std::string stockOutput(const std::filesystem::path& chunkFile) {
    std::string output;
    std::FILE* pipe = ::popen(("lua5.1 - < '" + chunkFile.string() + "' 2>&1").c_str(), "r");
    if (pipe == nullptr) return output;
    char piece[4096];
    for (std::size_t got; (got = std::fread(piece, 1, sizeof piece, pipe)) > 0;)
        output.append(piece, got);
    ::pclose(pipe);
    return output;
}

TEST(LuaState, AgreesWithTheStockInterpreter) {
    ASSERT_EQ(::access("/usr/bin/lua5.1", X_OK), 0)
        << "Debian's lua5.1 is the oracle here; scripts/install-deps installs it";
    const char* const cases[] = {
        // a message handler runs right above the function that raised the error
        "R = select(2, xpcall(function() error('x') end, debug.traceback))",
        "R = select(2, xpcall(function() error('x') end, function(m) "
        "local i = debug.getinfo(3, 'Sl') return m .. i.short_src .. i.currentline end))",
        "R = select(2, xpcall(function() local t = nil; return t.x end, function(m) "
        "return debug.traceback(m, 2) end))",
        "R = table.concat({tostring(xpcall(function() return 1, 2 end, print))}, ',')",
        // only a function is a handler
        "R = tostring(select(2, xpcall(function() error('x') end, "
        "setmetatable({}, {__call = function(_, m) return 'table ' .. m end}))))",
        // the system's reason for a file that cannot be read
        "R = select(2, loadfile('/'))",
        "R = select(2, pcall(dofile, '/'))",
        "R = select(2, loadfile('/nonexistent/x.lua'))",
        "package.path = '/?' R = select(2, pcall(require, 'tmp'))",
    };
    gdtest::TempDir temp;
    const std::filesystem::path chunkFile = temp.path() / "chunk.lua";
    for (const char* chunk : cases) {
        gdtest::writeFile(chunkFile, std::string(chunk) + "\nio.write(tostring(R))");
        gd::LuaState lua(gd::kLuaTimeLimit, gd::LuaLibraries::Update);
        std::string ours = std::string(chunk) + "\nR = tostring(R)";
        ASSERT_EQ(lua.cpcall(runAsMainChunk, &ours), 0)
            << chunk << ": " << gd::luaText(lua.get(), -1);
        lua_getfield(lua.get(), LUA_GLOBALSINDEX, "R");
        EXPECT_EQ(std::string(gd::luaText(lua.get(), -1)), stockOutput(chunkFile)) << chunk;
    }
}

// The process's locale as the window leaves it for LANG=`name` (QApplication
// sets every category from the environment, the launcher then puts
// LC_NUMERIC back to "C"); the test's own when the scope ends.
class ProcessLocale {
  public:
    explicit ProcessLocale(const char* name) : usable_(std::setlocale(LC_ALL, name) != nullptr) {
        std::setlocale(LC_NUMERIC, "C");
    }
    ~ProcessLocale() {
        std::setlocale(LC_ALL, "C");
        std::setlocale(LC_NUMERIC, "C");
    }
    bool usable() const { return usable_; }

  private:
    bool usable_;
};

class SilentNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view, std::string_view) override {}
};

// What the probe found in config.dat (on the calling thread, as the
// launcher's start runs it), filelist.dat and update.dat (each on a thread
// of its own, as the window's check and update run them).
std::vector<std::string> probeResults(const std::filesystem::path& folder) {
    const std::string probe =
        "local words = {'b', 'B', 'a', 'A', '_', '\\195\\169'} table.sort(words) "
        "probe = table.concat(words, ' ') .. '|' .. tostring('a' < 'B') .. '|' .. "
        "os.date('!%A %B %p %c', 0) .. '|' .. tostring(os.setlocale and os.setlocale()) .. "
        "'|' .. tostring(os.setlocale and os.setlocale('ja_JP.UTF-8')) .. '|' .. "
        "tostring(('\\195\\169'):find('%a'))\n";
    std::vector<std::string> results;
    gd::LauncherConfig config;
    gd::applyConfigChunk(probe + "DUREDOR_FTP_PATH = probe", config);
    results.push_back(config.server.ftpPath);

    std::thread([&] {
        SilentNotifier notifier;
        gd::VersionManifest manifest;
        gd::runVersionScript(
            notifier,
            probe + "latest_version = 2 function filelist() patch.File(probe, 2, 'a.zip') end",
            1.0f, manifest);
        results.push_back(manifest.entryCount() == 1 ? manifest.entryAt(0).label : "no entry");
    }).join();

    const std::filesystem::path out = folder / "probe.txt";
    gdtest::writeEncrypted(folder / "update.dat",
                           probe + "local f = assert(io.open('" + out.string() +
                               "', 'w')) f:write(probe) f:close() function updater() end");
    std::thread([&] {
        gd::VersionManifest manifest;
        gd::PatchQueue queue;
        gd::RunUpdateScript(folder / "update.dat", folder.string() + "/", manifest, queue);
    }).join();
    results.push_back(gdtest::readFile(out));
    return results;
}

// A publisher's script gives one result on every machine and in both front
// ends, whatever LANG says: scripts run in the "C" locale.
TEST(LuaState, ScriptsRunInOneLocaleWhateverTheProcessUses) {
    gdtest::TempDir temp;
    const std::vector<std::string> expected = probeResults(temp.path());
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(expected[0],
              "A B _ a b \xC3\xA9|false|Thursday January AM Thu Jan  1 00:00:00 1970|C|nil|nil");
    EXPECT_EQ(expected[1],
              "A B _ a b \xC3\xA9|false|Thursday January AM Thu Jan  1 00:00:00 1970|nil|nil|nil");
    EXPECT_EQ(expected[2], expected[0]);
    std::string missing;
    for (const char* name : {"en_US.UTF-8", "ja_JP.UTF-8"}) {
        SCOPED_TRACE(name);
        const ProcessLocale locale(name);
        if (!locale.usable()) {
            missing += std::string(" ") + name;
            continue;
        }
        EXPECT_EQ(probeResults(temp.path()), expected);
    }
    if (!missing.empty())
        GTEST_SKIP() << "not installed here, so not tried:" << missing
                     << " (scripts/install-deps generates them)";
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
