// string.find, string.match, string.gmatch and string.gsub with Lua 5.1's
// patterns, stopping at the running call's deadline.
#pragma once

struct lua_State;

namespace gd {

// Each behaves as Lua 5.1's function of the same name, with two differences:
// a search looks at the clock as it goes (a backtracking pattern such as
// ("a"):rep(2000):find(".-.-.-.-b") would otherwise hold the launcher for
// ages, out of reach of the time limit), and the matcher keeps its
// backtracking points in the state's memory rather than on the C stack, so
// that a pattern nests as deep as the memory limit allows (Lua 5.1's own,
// as deep as its C stack) and never overflows the stack.
int boundedFind(lua_State* state);
int boundedMatch(lua_State* state);
int boundedGmatch(lua_State* state);
int boundedGsub(lua_State* state);

}  // namespace gd
