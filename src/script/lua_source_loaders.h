// Loading code from inside a script, for source text only.
#pragma once

struct lua_State;

namespace gd {

// Replaces load, loadstring, loadfile and dofile and require's searcher of
// Lua files (package.loaders[2]) in a state with the standard libraries open,
// by versions that behave as Lua 5.1's but refuse a precompiled chunk:
// Lua 5.1's bytecode check can be fooled into corrupting memory, and without
// string.dump no script needs bytecode. Runs inside a protected call.
void installSourceLoaders(lua_State* state);

}  // namespace gd
