// Owner of one Lua 5.1 state, with the guards every script of an
// installation runs under.
#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

struct lua_State;

namespace gd {

// Scripts come from files and servers we do not control: a state refuses to
// grow past kLuaMemoryLimit bytes and stops a script that runs longer than
// kLuaTimeLimit, raising a Lua error in both cases. The debug library and
// newproxy are left out, since they could switch the time limit off. Time
// spent inside one call of a C library function is not counted.
inline constexpr std::size_t kLuaMemoryLimit = 256u * 1024 * 1024;
inline constexpr std::chrono::milliseconds kLuaTimeLimit{10000};

class LuaState {
  public:
    // Opens a state with all standard libraries. `get()` is null when the
    // state could not be created.
    explicit LuaState(std::chrono::milliseconds timeLimit = kLuaTimeLimit);
    LuaState(const LuaState&) = delete;
    LuaState& operator=(const LuaState&) = delete;
    ~LuaState();

    lua_State* get() const { return state_; }
    explicit operator bool() const { return state_ != nullptr; }

    // Loads `chunk` under `chunkName` and pushes the function. Returns Lua's
    // load status (0 when loaded; the error message is pushed otherwise). A
    // precompiled (bytecode) chunk is refused as a syntax error.
    int load(std::string_view chunk, const char* chunkName);
    // lua_pcall with the time limit counted from this call.
    int pcall(int arguments, int results);

    // Used by the hook and the allocator; not for callers.
    std::chrono::steady_clock::time_point deadline() const { return deadline_; }
    std::size_t& allocated() { return allocated_; }

  private:
    lua_State* state_ = nullptr;
    std::size_t allocated_ = 0;
    std::chrono::milliseconds timeLimit_;
    std::chrono::steady_clock::time_point deadline_;
};

// Counts `bytes` that a C function keeps outside the state on a script's behalf
// (copies into the engine's own lists) against the state's memory limit, so
// that a script cannot grow them without bound. False, with nothing counted,
// when they do not fit; the caller then raises a Lua error.
bool chargeLuaMemory(lua_State* state, std::size_t bytes);

// The text of a string or number value at `index`, or an empty view for any
// other type. The view lives as long as the value stays on the stack.
std::string_view luaText(lua_State* state, int index);

}  // namespace gd
