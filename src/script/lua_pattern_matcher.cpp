// Adapted from lstrlib.c of Lua 5.1.5 (the pattern matching section, with
// str_find_aux, gmatch and gsub): every loop of the matcher counts its steps
// and looks at the clock every kStepsPerClockCheck of them, match() keeps its
// points to come back to on a stack of its own in the Lua state's memory
// instead of recursing on the C stack, and a plain search uses memmem
// (linear) in slices instead of a quadratic scan. Otherwise it matches what
// Lua 5.1 does, quirks included, in the same order of steps, so that
// published scripts see no difference.
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

#include "script/lua_pattern_matcher.h"

#include "script/lua_state.h"

#include <lua.hpp>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>

namespace gd {

namespace {

constexpr unsigned kStepsPerClockCheck = 4096;
// Points to come back to that fit in the MatchState itself; deeper patterns
// move them into a userdata block.
constexpr std::size_t kInlineChoices = 16;
// A plain search looks at the clock between slices of this many positions.
constexpr std::size_t kPlainSearchSlice = std::size_t{1} << 20;

constexpr ptrdiff_t kCapUnfinished = -1;
constexpr ptrdiff_t kCapPosition = -2;
constexpr char kEscape = '%';
constexpr const char* kSpecials = "^$*+?.([%-";

int uchar(char c) {
    return static_cast<unsigned char>(c);
}

// Where Lua 5.1's match() would have returned to when the rest of the
// pattern failed: what that frame did next.
enum class Resume : unsigned char {
    StartCapture,  // drop the capture it opened, fail on
    EndCapture,    // reopen the capture it closed, fail on
    Optional,      // '?': go on without the item
    MaxExpand,     // '*', '+': one repetition fewer
    MinExpand,     // '-': one repetition more
};

struct Choice {
    Resume resume;
    int capture;      // EndCapture: the capture it closed
    const char* s;    // the subject where the item began
    const char* p;    // the item
    const char* ep;   // the end of the item's class
    ptrdiff_t count;  // MaxExpand: repetitions still to try
};

struct MatchState {
    const char* srcInit;  // start of the subject
    const char* srcEnd;   // its end
    lua_State* L;
    int level;  // number of captures, finished or not
    unsigned steps;
    struct {
        const char* init;
        ptrdiff_t len;
    } capture[LUA_MAXCAPTURES];
    // The points to come back to, innermost last; a userdata block at stack
    // index `slot` once they outgrow the inline ones, so that the memory
    // limit counts them and an error leaves nothing to free.
    Choice* choices;
    std::size_t choiceCount;
    std::size_t choiceCapacity;
    int slot;
    Choice inlineChoices[kInlineChoices];
};

// Reserves the stack slot of the choice block: before anything that must stay
// on top (a luaL_Buffer's pieces) is pushed.
void initState(MatchState& ms, lua_State* L, const char* subject, std::size_t length) {
    ms.srcInit = subject;
    ms.srcEnd = subject + length;
    ms.L = L;
    ms.level = 0;
    ms.steps = kStepsPerClockCheck;
    ms.choices = ms.inlineChoices;
    ms.choiceCount = 0;
    ms.choiceCapacity = kInlineChoices;
    lua_pushnil(L);
    ms.slot = lua_gettop(L);
}

// One unit of work; every loop below calls it once per turn.
void step(MatchState* ms) {
    if (--ms->steps == 0) {
        ms->steps = kStepsPerClockCheck;
        checkLuaDeadline(ms->L);
    }
}

ptrdiff_t posrelat(ptrdiff_t pos, std::size_t len) {
    // relative string position: negative means back from end
    if (pos < 0) pos += static_cast<ptrdiff_t>(len) + 1;
    return (pos >= 0) ? pos : 0;
}

int checkCapture(MatchState* ms, int l) {
    l -= '1';
    if (l < 0 || l >= ms->level || ms->capture[l].len == kCapUnfinished)
        return luaL_error(ms->L, "invalid capture index");
    return l;
}

int captureToClose(MatchState* ms) {
    int level = ms->level;
    for (level--; level >= 0; level--)
        if (ms->capture[level].len == kCapUnfinished) return level;
    return luaL_error(ms->L, "invalid pattern capture");
}

const char* classEnd(MatchState* ms, const char* p) {
    switch (*p++) {
        case kEscape: {
            if (*p == '\0') luaL_error(ms->L, "malformed pattern (ends with '%%')");
            return p + 1;
        }
        case '[': {
            if (*p == '^') p++;
            do {  // look for a ']'
                step(ms);
                if (*p == '\0') luaL_error(ms->L, "malformed pattern (missing ']')");
                if (*(p++) == kEscape && *p != '\0') p++;  // skip escapes (e.g. '%]')
            } while (*p != ']');
            return p + 1;
        }
        default: {
            return p;
        }
    }
}

int matchClass(int c, int cl) {
    int res;
    switch (std::tolower(cl)) {
        case 'a':
            res = std::isalpha(c);
            break;
        case 'c':
            res = std::iscntrl(c);
            break;
        case 'd':
            res = std::isdigit(c);
            break;
        case 'l':
            res = std::islower(c);
            break;
        case 'p':
            res = std::ispunct(c);
            break;
        case 's':
            res = std::isspace(c);
            break;
        case 'u':
            res = std::isupper(c);
            break;
        case 'w':
            res = std::isalnum(c);
            break;
        case 'x':
            res = std::isxdigit(c);
            break;
        case 'z':
            res = (c == 0);
            break;
        default:
            return (cl == c);
    }
    return (std::islower(cl) ? res : !res);
}

int matchBracketClass(MatchState* ms, int c, const char* p, const char* ec) {
    int sig = 1;
    if (*(p + 1) == '^') {
        sig = 0;
        p++;  // skip the '^'
    }
    while (++p < ec) {
        step(ms);
        if (*p == kEscape) {
            p++;
            if (matchClass(c, uchar(*p))) return sig;
        } else if ((*(p + 1) == '-') && (p + 2 < ec)) {
            p += 2;
            if (uchar(*(p - 2)) <= c && c <= uchar(*p)) return sig;
        } else if (uchar(*p) == c) {
            return sig;
        }
    }
    return !sig;
}

int singleMatch(MatchState* ms, int c, const char* p, const char* ep) {
    switch (*p) {
        case '.':
            return 1;  // matches any char
        case kEscape:
            return matchClass(c, uchar(*(p + 1)));
        case '[':
            return matchBracketClass(ms, c, p, ep - 1);
        default:
            return (uchar(*p) == c);
    }
}

const char* matchBalance(MatchState* ms, const char* s, const char* p) {
    if (*p == 0 || *(p + 1) == 0) luaL_error(ms->L, "unbalanced pattern");
    if (*s != *p) return nullptr;
    int b = *p;
    int e = *(p + 1);
    int cont = 1;
    while (++s < ms->srcEnd) {
        step(ms);
        if (*s == e) {
            if (--cont == 0) return s + 1;
        } else if (*s == b) {
            cont++;
        }
    }
    return nullptr;  // string ends out of balance
}

const char* matchCapture(MatchState* ms, const char* s, int l) {
    l = checkCapture(ms, l);
    const std::size_t len = static_cast<std::size_t>(ms->capture[l].len);
    if (static_cast<std::size_t>(ms->srcEnd - s) >= len &&
        std::memcmp(ms->capture[l].init, s, len) == 0)
        return s + len;
    return nullptr;
}

void pushChoice(MatchState* ms, const Choice& choice) {
    if (ms->choiceCount == ms->choiceCapacity) {
        // Past the deadline nothing may grow; the time limit's error says why.
        checkLuaDeadline(ms->L);
        if (ms->choiceCapacity > kLuaMemoryLimit / sizeof(Choice) / 2)
            luaL_error(ms->L, "pattern too complex");
        const std::size_t capacity = ms->choiceCapacity * 2;
        auto* grown = static_cast<Choice*>(lua_newuserdata(ms->L, capacity * sizeof(Choice)));
        std::memcpy(grown, ms->choices, ms->choiceCount * sizeof(Choice));
        lua_replace(ms->L, ms->slot);  // the old block goes to the collector
        ms->choices = grown;
        ms->choiceCapacity = capacity;
    }
    ms->choices[ms->choiceCount++] = choice;
}

// Lua 5.1's match() up to the point where it would recurse: it pushes the
// point to come back to and goes on with the rest of the pattern. Returns
// the end of the match when the pattern ended, null when this path failed.
const char* matchForward(MatchState* ms, const char* s, const char* p) {
init:  // using goto's to optimize tail recursion
    step(ms);
    switch (*p) {
        case '(': {  // start capture
            const ptrdiff_t what = *(p + 1) == ')' ? kCapPosition : kCapUnfinished;
            p += what == kCapPosition ? 2 : 1;
            const int level = ms->level;
            if (level >= LUA_MAXCAPTURES) luaL_error(ms->L, "too many captures");
            ms->capture[level].init = s;
            ms->capture[level].len = what;
            ms->level = level + 1;
            pushChoice(ms, {Resume::StartCapture, 0, s, p, p, 0});
            goto init;
        }
        case ')': {  // end capture
            const int l = captureToClose(ms);
            ms->capture[l].len = s - ms->capture[l].init;  // close capture
            pushChoice(ms, {Resume::EndCapture, l, s, p, p, 0});
            p++;
            goto init;
        }
        case kEscape: {
            switch (*(p + 1)) {
                case 'b': {  // balanced string?
                    s = matchBalance(ms, s, p + 2);
                    if (s == nullptr) return nullptr;
                    p += 4;
                    goto init;  // else return match(ms, s, p+4);
                }
                case 'f': {  // frontier?
                    const char* ep;
                    char previous;
                    p += 2;
                    if (*p != '[') luaL_error(ms->L, "missing '[' after '%%f' in pattern");
                    ep = classEnd(ms, p);  // points to what is next
                    previous = (s == ms->srcInit) ? '\0' : *(s - 1);
                    if (matchBracketClass(ms, uchar(previous), p, ep - 1) ||
                        !matchBracketClass(ms, uchar(*s), p, ep - 1))
                        return nullptr;
                    p = ep;
                    goto init;  // else return match(ms, s, ep);
                }
                default: {
                    if (std::isdigit(uchar(*(p + 1)))) {  // capture results (%0-%9)?
                        s = matchCapture(ms, s, uchar(*(p + 1)));
                        if (s == nullptr) return nullptr;
                        p += 2;
                        goto init;  // else return match(ms, s, p+2)
                    }
                    goto dflt;  // case default
                }
            }
        }
        case '\0': {   // end of pattern
            return s;  // match succeeded
        }
        case '$': {
            if (*(p + 1) == '\0')                        // is the '$' the last char in pattern?
                return (s == ms->srcEnd) ? s : nullptr;  // check end of string
            goto dflt;
        }
        default:
        dflt : {                               // it is a pattern item
            const char* ep = classEnd(ms, p);  // points to what is next
            int m = s < ms->srcEnd && singleMatch(ms, uchar(*s), p, ep);
            switch (*ep) {
                case '?': {  // optional
                    if (m) {
                        pushChoice(ms, {Resume::Optional, 0, s, p, ep, 0});
                        s++;
                    }
                    p = ep + 1;
                    goto init;
                }
                case '+':  // 1 or more repetitions
                    if (!m) return nullptr;
                    s++;
                    [[fallthrough]];
                case '*': {           // 0 or more repetitions
                    ptrdiff_t i = 0;  // counts maximum expand for item
                    while ((s + i) < ms->srcEnd && singleMatch(ms, uchar(*(s + i)), p, ep)) {
                        step(ms);
                        i++;
                    }
                    // tries the maximum repetitions first
                    pushChoice(ms, {Resume::MaxExpand, 0, s, p, ep, i});
                    s += i;
                    p = ep + 1;
                    goto init;
                }
                case '-': {  // 0 or more repetitions (minimum)
                    pushChoice(ms, {Resume::MinExpand, 0, s, p, ep, 0});
                    p = ep + 1;
                    goto init;
                }
                default: {
                    if (!m) return nullptr;
                    s++;
                    p = ep;
                    goto init;  // else return match(ms, s+1, ep);
                }
            }
        }
    }
}

// Goes back to the innermost point that has an alternative left, undoing on
// the way what the frames in between did, as Lua 5.1's frames did when their
// match() returned null. False when no alternative is left.
bool backtrack(MatchState* ms, const char*& s, const char*& p) {
    while (ms->choiceCount > 0) {
        Choice& choice = ms->choices[ms->choiceCount - 1];
        switch (choice.resume) {
            case Resume::StartCapture:
                ms->level--;  // undo capture
                break;
            case Resume::EndCapture:
                ms->capture[choice.capture].len = kCapUnfinished;  // undo capture
                break;
            case Resume::Optional:
                s = choice.s;
                p = choice.ep + 1;
                ms->choiceCount--;
                return true;
            case Resume::MaxExpand:
                if (choice.count == 0) break;
                choice.count--;  // reduce 1 repetition to try again
                s = choice.s + choice.count;
                p = choice.ep + 1;
                return true;
            case Resume::MinExpand:
                if (choice.s < ms->srcEnd &&
                    singleMatch(ms, uchar(*choice.s), choice.p, choice.ep)) {
                    choice.s++;  // try with one more repetition
                    s = choice.s;
                    p = choice.ep + 1;
                    return true;
                }
                break;
        }
        ms->choiceCount--;
    }
    return false;
}

const char* match(MatchState* ms, const char* s, const char* p) {
    ms->choiceCount = 0;
    for (;;) {
        if (const char* end = matchForward(ms, s, p)) return end;
        if (!backtrack(ms, s, p)) return nullptr;
    }
}

// Lua 5.1's lmemfind, in slices that overlap by the needle's length less one.
// A slice is at least as long as the needle, so that memmem's work on the
// needle stays a fraction of its work on the subject.
const char* plainFind(lua_State* L, const char* s1, std::size_t l1, const char* s2,
                      std::size_t l2) {
    if (l2 == 0) return s1;  // empty strings are everywhere
    const std::size_t slice = std::max(kPlainSearchSlice, l2);
    while (l1 >= l2) {
        const std::size_t starts = std::min(l1 - l2 + 1, slice);
        const void* found = memmem(s1, starts + l2 - 1, s2, l2);
        if (found != nullptr) return static_cast<const char*>(found);
        s1 += starts;
        l1 -= starts;
        checkLuaDeadline(L);
    }
    return nullptr;
}

void pushOneCapture(MatchState* ms, int i, const char* s, const char* e) {
    if (i >= ms->level) {
        if (i == 0) {                                                    // ms->level == 0, too
            lua_pushlstring(ms->L, s, static_cast<std::size_t>(e - s));  // add whole match
        } else {
            luaL_error(ms->L, "invalid capture index");
        }
    } else {
        ptrdiff_t l = ms->capture[i].len;
        if (l == kCapUnfinished) luaL_error(ms->L, "unfinished capture");
        if (l == kCapPosition) {
            lua_pushinteger(ms->L, ms->capture[i].init - ms->srcInit + 1);
        } else {
            lua_pushlstring(ms->L, ms->capture[i].init, static_cast<std::size_t>(l));
        }
    }
}

int pushCaptures(MatchState* ms, const char* s, const char* e) {
    int nlevels = (ms->level == 0 && s) ? 1 : ms->level;
    luaL_checkstack(ms->L, nlevels, "too many captures");
    for (int i = 0; i < nlevels; i++) pushOneCapture(ms, i, s, e);
    return nlevels;  // number of strings pushed
}

int findAux(lua_State* L, int find) {
    std::size_t l1, l2;
    const char* s = luaL_checklstring(L, 1, &l1);
    const char* p = luaL_checklstring(L, 2, &l2);
    ptrdiff_t init = posrelat(luaL_optinteger(L, 3, 1), l1) - 1;
    if (init < 0) {
        init = 0;
    } else if (static_cast<std::size_t>(init) > l1) {
        init = static_cast<ptrdiff_t>(l1);
    }
    if (find && (lua_toboolean(L, 4) ||                     // explicit request?
                 std::strpbrk(p, kSpecials) == nullptr)) {  // or no special characters?
        // do a plain search
        const char* s2 = plainFind(L, s + init, l1 - static_cast<std::size_t>(init), p, l2);
        if (s2) {
            lua_pushinteger(L, s2 - s + 1);
            lua_pushinteger(L, static_cast<lua_Integer>(s2 - s + l2));
            return 2;
        }
    } else {
        MatchState ms;
        int anchor = (*p == '^') ? (p++, 1) : 0;
        const char* s1 = s + init;
        initState(ms, L, s, l1);
        do {
            const char* res;
            ms.level = 0;
            if ((res = match(&ms, s1, p)) != nullptr) {
                if (find) {
                    lua_pushinteger(L, s1 - s + 1);  // start
                    lua_pushinteger(L, res - s);     // end
                    return pushCaptures(&ms, nullptr, nullptr) + 2;
                }
                return pushCaptures(&ms, s1, res);
            }
        } while (s1++ < ms.srcEnd && !anchor);
    }
    lua_pushnil(L);  // not found
    return 1;
}

int gmatchAux(lua_State* L) {
    MatchState ms;
    std::size_t ls;
    const char* s = lua_tolstring(L, lua_upvalueindex(1), &ls);
    const char* p = lua_tostring(L, lua_upvalueindex(2));
    initState(ms, L, s, ls);
    for (const char* src = s + static_cast<std::size_t>(lua_tointeger(L, lua_upvalueindex(3)));
         src <= ms.srcEnd; src++) {
        const char* e;
        ms.level = 0;
        if ((e = match(&ms, src, p)) != nullptr) {
            lua_Integer newstart = e - s;
            if (e == src) newstart++;  // empty match? go at least one position
            lua_pushinteger(L, newstart);
            lua_replace(L, lua_upvalueindex(3));
            return pushCaptures(&ms, src, e);
        }
    }
    return 0;  // not found
}

void addS(MatchState* ms, luaL_Buffer* b, const char* s, const char* e) {
    std::size_t l;
    const char* news = lua_tolstring(ms->L, 3, &l);
    for (std::size_t i = 0; i < l; i++) {
        if (news[i] != kEscape) {
            luaL_addchar(b, news[i]);
        } else {
            i++;  // skip ESC
            if (!std::isdigit(uchar(news[i]))) {
                luaL_addchar(b, news[i]);
            } else if (news[i] == '0') {
                luaL_addlstring(b, s, static_cast<std::size_t>(e - s));
            } else {
                pushOneCapture(ms, news[i] - '1', s, e);
                luaL_addvalue(b);  // add capture to accumulated result
            }
        }
    }
}

void addValue(MatchState* ms, luaL_Buffer* b, const char* s, const char* e) {
    lua_State* L = ms->L;
    switch (lua_type(L, 3)) {
        case LUA_TNUMBER:
        case LUA_TSTRING: {
            addS(ms, b, s, e);
            return;
        }
        case LUA_TFUNCTION: {
            lua_pushvalue(L, 3);
            int n = pushCaptures(ms, s, e);
            lua_call(L, n, 1);
            break;
        }
        case LUA_TTABLE: {
            pushOneCapture(ms, 0, s, e);
            lua_gettable(L, 3);
            break;
        }
    }
    if (!lua_toboolean(L, -1)) {  // nil or false?
        lua_pop(L, 1);
        lua_pushlstring(L, s, static_cast<std::size_t>(e - s));  // keep original text
    } else if (!lua_isstring(L, -1)) {
        luaL_error(L, "invalid replacement value (a %s)", luaL_typename(L, -1));
    }
    luaL_addvalue(b);  // add result to accumulator
}

}  // namespace

int boundedFind(lua_State* state) {
    return findAux(state, 1);
}

int boundedMatch(lua_State* state) {
    return findAux(state, 0);
}

int boundedGmatch(lua_State* state) {
    luaL_checkstring(state, 1);
    luaL_checkstring(state, 2);
    lua_settop(state, 2);
    lua_pushinteger(state, 0);
    lua_pushcclosure(state, gmatchAux, 3);
    return 1;
}

int boundedGsub(lua_State* L) {
    std::size_t srcl;
    const char* src = luaL_checklstring(L, 1, &srcl);
    const char* p = luaL_checkstring(L, 2);
    int tr = lua_type(L, 3);
    int max_s = luaL_optint(L, 4, static_cast<int>(srcl + 1));
    int anchor = (*p == '^') ? (p++, 1) : 0;
    int n = 0;
    MatchState ms;
    luaL_Buffer b;
    luaL_argcheck(L,
                  tr == LUA_TNUMBER || tr == LUA_TSTRING || tr == LUA_TFUNCTION || tr == LUA_TTABLE,
                  3, "string/function/table expected");
    initState(ms, L, src, srcl);  // its slot goes below the buffer's pieces
    luaL_buffinit(L, &b);
    while (n < max_s) {
        const char* e;
        ms.level = 0;
        e = match(&ms, src, p);
        if (e) {
            n++;
            addValue(&ms, &b, src, e);
        }
        if (e && e > src) {  // non empty match?
            src = e;         // skip it
        } else if (src < ms.srcEnd) {
            luaL_addchar(&b, *src++);
        } else {
            break;
        }
        if (anchor) break;
    }
    luaL_addlstring(&b, src, static_cast<std::size_t>(ms.srcEnd - src));
    luaL_pushresult(&b);
    lua_pushinteger(L, n);  // number of substitutions
    return 2;
}

}  // namespace gd
