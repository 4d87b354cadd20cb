#include "script/lua_state.h"

#include <lua.hpp>

#include <cstdlib>

namespace gd {

namespace {

// Every this many virtual machine instructions the hook looks at the clock.
constexpr int kHookInstructionCount = 10000;

void* limitedAlloc(void* userData, void* block, std::size_t oldSize, std::size_t newSize) {
    auto* owner = static_cast<LuaState*>(userData);
    std::size_t& allocated = owner->allocated();
    if (newSize == 0) {
        std::free(block);
        allocated -= oldSize;
        return nullptr;
    }
    if (newSize > oldSize && allocated - oldSize + newSize > kLuaMemoryLimit) return nullptr;
    void* grown = std::realloc(block, newSize);
    if (grown != nullptr) allocated = allocated - oldSize + newSize;
    return grown;
}

LuaState* ownerOf(lua_State* state) {
    void* userData = nullptr;
    lua_getallocf(state, &userData);
    return static_cast<LuaState*>(userData);
}

void stopWhenOverdue(lua_State* state, lua_Debug* /*event*/) {
    if (std::chrono::steady_clock::now() > ownerOf(state)->deadline())
        luaL_error(state, "script ran longer than its time limit");
}

int onPanic(lua_State* /*state*/) {
    // Only reached for errors outside any pcall, which this code never makes;
    // Lua would otherwise exit the process.
    std::abort();
}

}  // namespace

LuaState::LuaState(std::chrono::milliseconds timeLimit) : timeLimit_(timeLimit) {
    state_ = lua_newstate(limitedAlloc, this);
    if (state_ == nullptr) return;
    lua_atpanic(state_, onPanic);
    deadline_ = std::chrono::steady_clock::now() + timeLimit_;
    lua_sethook(state_, stopWhenOverdue, LUA_MASKCOUNT, kHookInstructionCount);
    lua_pushcfunction(state_, [](lua_State* s) {
        luaL_openlibs(s);
        // Both would let a script escape the time limit: debug.sethook turns
        // the hook off, and finalisers (newproxy, debug.setmetatable on
        // userdata) run with hooks disabled.
        lua_pushnil(s);
        lua_setfield(s, LUA_GLOBALSINDEX, "debug");
        lua_pushnil(s);
        lua_setfield(s, LUA_GLOBALSINDEX, "newproxy");
        lua_getfield(s, LUA_GLOBALSINDEX, "package");
        lua_getfield(s, -1, "loaded");
        lua_pushnil(s);
        lua_setfield(s, -2, "debug");
        lua_pop(s, 2);
        return 0;
    });
    if (lua_pcall(state_, 0, 0, 0) != 0) {
        lua_close(state_);
        state_ = nullptr;
    }
}

LuaState::~LuaState() {
    if (state_ != nullptr) lua_close(state_);
}

int LuaState::load(std::string_view chunk, const char* chunkName) {
    // Precompiled chunks skip the parser, and Lua 5.1's bytecode check can be
    // fooled into corrupting memory: scripts are source text, nothing else.
    if (chunk.starts_with(LUA_SIGNATURE[0])) {
        lua_pushfstring(state_, "%s: precompiled chunks are not accepted", chunkName);
        return LUA_ERRSYNTAX;
    }
    return luaL_loadbuffer(state_, chunk.data(), chunk.size(), chunkName);
}

int LuaState::pcall(int arguments, int results) {
    deadline_ = std::chrono::steady_clock::now() + timeLimit_;
    return lua_pcall(state_, arguments, results, 0);
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
