#include "script/lua_state.h"

#include <lua.hpp>

#include <cstdlib>

namespace gd {

namespace {

using Clock = std::chrono::steady_clock;

// Every this many virtual machine instructions the hook looks at the clock.
// Kept small because one instruction can be slow: interning a string whose
// hash collides with thousands of others compares it with each of them.
constexpr int kHookInstructionCount = 1000;
// Every call, of a Lua or a C function, looks at the clock too. A library
// function can take a tenth of a second on a long string without allocating
// anything (its result is interned already when it was made before), and a
// loop of such calls runs few instructions: counting instructions alone would
// let it outrun the limit a thousandfold.
constexpr int kHookMask = LUA_MASKCOUNT | LUA_MASKCALL;

// The registry key of the time limit's error message, made when the state
// opens: once past the deadline nothing may be allocated, not even the text.
const char kTimeLimitMessageKey = 0;

LuaState* ownerOf(lua_State* state) {
    void* userData = nullptr;
    lua_getallocf(state, &userData);
    return static_cast<LuaState*>(userData);
}

void* limitedAlloc(void* userData, void* block, std::size_t oldSize, std::size_t newSize) {
    auto* owner = static_cast<LuaState*>(userData);
    std::size_t& allocated = owner->allocated();
    if (newSize == 0) {
        std::free(block);
        allocated -= oldSize;
        return nullptr;
    }
    // Library functions that build long results (table.concat, string.format,
    // string.upper, os.date...) allocate as they go: refusing to grow past the
    // deadline stops them there. Shrinking never fails, as Lua expects.
    if (newSize > oldSize && (allocated - oldSize + newSize > kLuaMemoryLimit || owner->overdue()))
        return nullptr;
    void* grown = std::realloc(block, newSize);
    if (grown != nullptr) allocated = allocated - oldSize + newSize;
    return grown;
}

[[noreturn]] void raiseTimeLimit(lua_State* state) {
    lua_checkstack(state, 1);  // raises a memory error itself when it cannot grow
    lua_pushlightuserdata(state, const_cast<char*>(&kTimeLimitMessageKey));
    lua_rawget(state, LUA_REGISTRYINDEX);
    lua_error(state);
    std::abort();  // lua_error does not return
}

// Ends the running call from inside the hook. Lua runs the message handler
// of an error raised in a hook with hooks disabled, where nothing could stop
// a handler that loops; a failed allocation unwinds without calling any
// handler. The call's owner then reports the time limit (LuaState::pcall).
[[noreturn]] void failFromHook(lua_State* state) {
    lua_newuserdata(state, 1);  // refused past the deadline: LUA_ERRMEM
    raiseTimeLimit(state);      // not reached
}

void onCountOrCall(lua_State* state, lua_Debug* /*event*/) {
    if (!ownerOf(state)->overdue()) {
        // A coroutine that failed an earlier call's limit still counts by one.
        if (lua_gethookcount(state) != kHookInstructionCount)
            lua_sethook(state, onCountOrCall, kHookMask, kHookInstructionCount);
        return;
    }
    // From now on every instruction and every call of this thread fails, so
    // that a pcall in a loop or an error handler cannot run on past the limit.
    lua_sethook(state, onCountOrCall, kHookMask, 1);
    failFromHook(state);
}

int registerTimeLimitMessage(lua_State* state) {
    lua_pushlightuserdata(state, const_cast<char*>(&kTimeLimitMessageKey));
    lua_pushliteral(state, "script ran longer than its time limit");
    lua_rawset(state, LUA_REGISTRYINDEX);
    return 0;
}

int onPanic(lua_State* /*state*/) {
    // Only reached for errors outside any pcall, which this code never makes;
    // Lua would otherwise exit the process.
    std::abort();
}

}  // namespace

LuaState::LuaState(std::chrono::milliseconds timeLimit, LuaLibraries libraries)
    : timeLimit_(timeLimit) {
    if (!locale_) return;
    const ThreadLocaleScope scriptLocale(locale_.get());
    state_ = lua_newstate(limitedAlloc, this);
    if (state_ == nullptr) return;
    lua_atpanic(state_, onPanic);
    lua_sethook(state_, onCountOrCall, kHookMask, kHookInstructionCount);
    if (lua_cpcall(state_, registerTimeLimitMessage, nullptr) != 0 ||
        lua_cpcall(state_, libraryOpener(libraries), nullptr) != 0) {
        lua_close(state_);
        state_ = nullptr;
    }
}

LuaState::~LuaState() {
    if (state_ != nullptr) lua_close(state_);
}

bool LuaState::overdue() {
    if (deadline_ == Clock::time_point::max() || Clock::now() <= deadline_) return false;
    // A library function that noticed first fails by itself, but a pcall
    // around it would let the script go on until the next count.
    lua_sethook(state_, onCountOrCall, kHookMask, 1);
    return true;
}

void LuaState::startClock() {
    deadline_ = Clock::now() + timeLimit_;
    lua_sethook(state_, onCountOrCall, kHookMask, kHookInstructionCount);
}

int LuaState::load(std::string_view chunk, const char* chunkName) {
    // Precompiled chunks skip the parser, and Lua 5.1's bytecode check can be
    // fooled into corrupting memory: scripts are source text, nothing else.
    if (chunk.starts_with(LUA_SIGNATURE[0])) {
        lua_pushfstring(state_, "%s: precompiled chunks are not accepted", chunkName);
        return LUA_ERRSYNTAX;
    }
    // The lexer's letters and numbers follow the locale too.
    const ThreadLocaleScope scriptLocale(locale_.get());
    return luaL_loadbuffer(state_, chunk.data(), chunk.size(), chunkName);
}

int LuaState::pcall(int arguments, int results) {
    const ThreadLocaleScope scriptLocale(locale_.get());
    startClock();
    return finishCall(lua_pcall(state_, arguments, results, 0));
}

int LuaState::cpcall(LuaCFunction function, void* data) {
    const ThreadLocaleScope scriptLocale(locale_.get());
    startClock();
    return finishCall(lua_cpcall(state_, function, data));
}

int LuaState::finishCall(int status) {
    const bool pastDeadline = status != 0 && overdue();
    deadline_ = Clock::time_point::max();
    if (!pastDeadline) return status;
    // Stopped from the hook, the call unwound as out of memory.
    lua_pop(state_, 1);
    lua_pushlightuserdata(state_, const_cast<char*>(&kTimeLimitMessageKey));
    lua_rawget(state_, LUA_REGISTRYINDEX);
    return LUA_ERRRUN;
}

void checkLuaDeadline(lua_State* state) {
    if (!ownerOf(state)->overdue()) return;
    lua_sethook(state, onCountOrCall, kHookMask, 1);  // a coroutine's own hook
    raiseTimeLimit(state);
}

bool chargeLuaMemory(lua_State* state, std::size_t bytes) {
    std::size_t& allocated = ownerOf(state)->allocated();
    if (allocated > kLuaMemoryLimit || bytes > kLuaMemoryLimit - allocated) return false;
    allocated += bytes;
    return true;
}

std::string_view luaText(lua_State* state, int index) {
    if (!lua_isstring(state, index)) return {};
    std::size_t length = 0;
    const char* text = lua_tolstring(state, index, &length);
    return text == nullptr ? std::string_view{} : std::string_view(text, length);
}

}  // namespace gd
