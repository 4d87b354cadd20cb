// string.rep and table.sort that cannot outlast the running call's deadline.
#pragma once

struct lua_State;

namespace gd {

// string.rep(s, n): Lua 5.1's loop took time for every repetition even when
// s is empty (string.rep("", 2^31 - 1) held the launcher for seconds without
// a Lua instruction). This one builds the result in one block: an empty s or
// n <= 0 gives "" at once, and a result larger than the memory limit is
// refused before any work.
int boundedRep(lua_State* state);

// table.sort as in Lua 5.1, looking at the clock every few thousand
// comparisons: with the default or a C comparison function a large table
// took seconds without a Lua instruction.
int boundedSort(lua_State* state);

}  // namespace gd
