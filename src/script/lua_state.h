// Owner of one Lua 5.1 state, with the guards every script of an
// installation runs under.
#pragma once

#include "script/lua_libraries.h"
#include "script/script_locale.h"

#include <chrono>
#include <cstddef>
#include <string_view>

struct lua_State;

namespace gd {

// Scripts come from files and servers we do not control: a state refuses to
// grow past kLuaMemoryLimit bytes and stops a call that runs longer than
// kLuaTimeLimit, raising a Lua error in both cases. Once a call is past its
// limit every further instruction and every allocation of that call fails, so
// neither pcall nor an error handler can keep it going, and the library
// functions that can run long without either (pattern matching, string.rep,
// table.sort) look at the clock themselves. Every load and call runs in the
// scripts' own locale (see script_locale.h) on the thread that makes it.
inline constexpr std::size_t kLuaMemoryLimit = 256u * 1024 * 1024;
inline constexpr std::chrono::milliseconds kLuaTimeLimit{10000};
// An archive's update.dat may copy large files with io or run a program with
// os.execute: it gets minutes where filelist.dat and config.dat get seconds.
inline constexpr std::chrono::milliseconds kUpdateScriptTimeLimit{10 * 60 * 1000};

class LuaState {
  public:
    // Opens a state with the given library set. `get()` is null when the
    // state could not be created.
    explicit LuaState(std::chrono::milliseconds timeLimit = kLuaTimeLimit,
                      LuaLibraries libraries = LuaLibraries::Standard);
    LuaState(const LuaState&) = delete;
    LuaState& operator=(const LuaState&) = delete;
    ~LuaState();

    lua_State* get() const { return state_; }
    explicit operator bool() const { return state_ != nullptr; }

    // Loads `chunk` under `chunkName` and pushes the function. Returns Lua's
    // load status (0 when loaded; the error message is pushed otherwise). A
    // precompiled (bytecode) chunk is refused as a syntax error.
    int load(std::string_view chunk, const char* chunkName);
    // lua_pcall with the time limit counted from this call. A call that ran
    // past its limit fails with LUA_ERRRUN and the time limit's message,
    // whatever error unwound it.
    int pcall(int arguments, int results);
    // lua_cpcall with the time limit counted from this call: `function` runs
    // protected with `data` as its one (light userdata) argument, so that it
    // may read a script's globals, whose metamethods can raise errors.
    int cpcall(LuaCFunction function, void* data);

    // Used by the hook, the allocator and checkLuaDeadline; not for callers.
    // True once the running call is past its deadline; from then on every
    // instruction of the main thread fails.
    bool overdue();
    std::size_t& allocated() { return allocated_; }

  private:
    void startClock();
    // The status of a call that just ended, and its message on the stack:
    // the time limit's, when the call was past its deadline.
    int finishCall(int status);

    ScriptLocale locale_;
    lua_State* state_ = nullptr;
    std::size_t allocated_ = 0;
    std::chrono::milliseconds timeLimit_;
    // The end of the running call's time; none between calls.
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
};

// Raises the time limit's Lua error when the call running in `state` is past
// its deadline. For C functions that can work long without running a Lua
// instruction or allocating.
void checkLuaDeadline(lua_State* state);

// Counts `bytes` that a C function keeps outside the state on a script's behalf
// (copies into the engine's own lists) against the state's memory limit, so
// that a script cannot grow them without bound. False, with nothing counted,
// when they do not fit; the caller then raises a Lua error.
bool chargeLuaMemory(lua_State* state, std::size_t bytes);

// The text of a string or number value at `index`, or an empty view for any
// other type. The view lives as long as the value stays on the stack.
std::string_view luaText(lua_State* state, int index);

}  // namespace gd
