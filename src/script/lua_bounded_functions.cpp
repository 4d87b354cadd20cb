// boundedSort is adapted from the sort of ltablib.c of Lua 5.1.5; the only
// change is the clock check in the comparison.
//
// Copyright (C) 1994-2012 Lua.org, PUC-Rio.
//
// Permission is hereby granted, free of charge, to any person obtaining a copy
// of this software and associated documentation files (the "Software"), to deal
// in the Software without restriction, including without limitation the rights
// to use, copy, modify, merge, publish, distribute, sublicense, and/or sell
// copies of the Software, and to permit persons to whom the Software is
// furnished to do so, subject to the following conditions:
//
// The above copyright notice and this permission notice shall be included in
// all copies or substantial portions of the Software.
//
// THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR
// IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY,
// FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT.  IN NO EVENT SHALL THE
// AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER
// LIABILITY, WHETHER IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM,
// OUT OF OR IN CONNECTION WITH THE SOFTWARE OR THE USE OR OTHER DEALINGS IN
// THE SOFTWARE.
//
// Lua error paths unwind with longjmp: no object here has a destructor.

#include "script/lua_bounded_functions.h"

#include "script/lua_state.h"

#include <lua.hpp>

#include <algorithm>
#include <cstring>

namespace gd {

namespace {

constexpr unsigned kComparisonsPerClockCheck = 1024;

struct SortState {
    lua_State* L;
    unsigned comparisons;
};

void set2(lua_State* L, int i, int j) {
    lua_rawseti(L, 1, i);
    lua_rawseti(L, 1, j);
}

int sortComp(SortState* sort, int a, int b) {
    lua_State* L = sort->L;
    if (--sort->comparisons == 0) {
        sort->comparisons = kComparisonsPerClockCheck;
        checkLuaDeadline(L);
    }
    if (!lua_isnil(L, 2)) {  // function?
        lua_pushvalue(L, 2);
        lua_pushvalue(L, a - 1);  // -1 to compensate function
        lua_pushvalue(L, b - 2);  // -2 to compensate function and 'a'
        lua_call(L, 2, 1);
        int res = lua_toboolean(L, -1);
        lua_pop(L, 1);
        return res;
    }
    return lua_lessthan(L, a, b);  // a < b?
}

void auxSort(SortState* sort, int l, int u) {
    lua_State* L = sort->L;
    while (l < u) {  // for tail recursion
        int i, j;
        // sort elements a[l], a[(l+u)/2] and a[u]
        lua_rawgeti(L, 1, l);
        lua_rawgeti(L, 1, u);
        if (sortComp(sort, -1, -2)) {  // a[u] < a[l]?
            set2(L, l, u);             // swap a[l] - a[u]
        } else {
            lua_pop(L, 2);
        }
        if (u - l == 1) break;  // only 2 elements
        i = (l + u) / 2;
        lua_rawgeti(L, 1, i);
        lua_rawgeti(L, 1, l);
        if (sortComp(sort, -2, -1)) {  // a[i]<a[l]?
            set2(L, i, l);
        } else {
            lua_pop(L, 1);  // remove a[l]
            lua_rawgeti(L, 1, u);
            if (sortComp(sort, -1, -2)) {  // a[u]<a[i]?
                set2(L, i, u);
            } else {
                lua_pop(L, 2);
            }
        }
        if (u - l == 2) break;  // only 3 elements
        lua_rawgeti(L, 1, i);   // Pivot
        lua_pushvalue(L, -1);
        lua_rawgeti(L, 1, u - 1);
        set2(L, i, u - 1);
        // a[l] <= P == a[u-1] <= a[u], only need to sort from l+1 to u-2
        i = l;
        j = u - 1;
        for (;;) {  // invariant: a[l..i] <= P <= a[j..u]
            // repeat ++i until a[i] >= P
            while (lua_rawgeti(L, 1, ++i), sortComp(sort, -1, -2)) {
                if (i > u) luaL_error(L, "invalid order function for sorting");
                lua_pop(L, 1);  // remove a[i]
            }
            // repeat --j until a[j] <= P
            while (lua_rawgeti(L, 1, --j), sortComp(sort, -3, -1)) {
                if (j < l) luaL_error(L, "invalid order function for sorting");
                lua_pop(L, 1);  // remove a[j]
            }
            if (j < i) {
                lua_pop(L, 3);  // pop pivot, a[i], a[j]
                break;
            }
            set2(L, i, j);
        }
        lua_rawgeti(L, 1, u - 1);
        lua_rawgeti(L, 1, i);
        set2(L, u - 1, i);  // swap pivot (a[u-1]) with a[i]
        // a[l..i-1] <= a[i] == P <= a[i+1..u]
        // adjust so that smaller half is in [j..i] and larger one in [l..u]
        if (i - l < u - i) {
            j = l;
            i = i - 1;
            l = i + 2;
        } else {
            j = i + 1;
            i = u;
            u = j - 2;
        }
        auxSort(sort, j, i);  // call recursively the smaller one
    }                         // repeat the routine for the larger one
}

}  // namespace

int boundedRep(lua_State* state) {
    std::size_t length = 0;
    const char* text = luaL_checklstring(state, 1, &length);
    // Lua 5.1 reads the count with luaL_checkint: the integer's low 32 bits,
    // so 2^32 + 3 repeats three times and 2^31 none.
    const int count = static_cast<int>(luaL_checkinteger(state, 2));
    if (length == 0 || count <= 0) {
        lua_pushliteral(state, "");
        return 1;
    }
    if (static_cast<std::size_t>(count) > kLuaMemoryLimit / length)
        return luaL_error(state, "resulting string too large");
    const std::size_t total = length * static_cast<std::size_t>(count);
    // A userdata block counts against the memory limit and is collected
    // like any other value when this call unwinds.
    auto* block = static_cast<char*>(lua_newuserdata(state, total));
    std::memcpy(block, text, length);
    for (std::size_t filled = length; filled < total;) {
        const std::size_t piece = std::min(filled, total - filled);
        std::memcpy(block + filled, block, piece);
        filled += piece;
    }
    lua_pushlstring(state, block, total);
    return 1;
}

int boundedSort(lua_State* state) {
    luaL_checktype(state, 1, LUA_TTABLE);
    const int n = luaL_getn(state, 1);
    luaL_checkstack(state, 40, "");  // assume array is smaller than 2^40
    if (!lua_isnoneornil(state, 2)) luaL_checktype(state, 2, LUA_TFUNCTION);
    lua_settop(state, 2);  // make sure there is two arguments
    SortState sort{state, kComparisonsPerClockCheck};
    auxSort(&sort, 1, n);
    return 0;
}

}  // namespace gd
