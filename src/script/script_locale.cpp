#include "script/script_locale.h"

#include <lua.hpp>

#include <cstring>

namespace gd {

int fixedScriptSetlocale(lua_State* state) {
    static constexpr const char* kCategories[] = {"all",     "collate", "ctype", "monetary",
                                                  "numeric", "time",    nullptr};
    const char* name = luaL_optstring(state, 1, nullptr);
    luaL_checkoption(state, 2, "all", kCategories);
    if (name == nullptr || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0) {
        lua_pushliteral(state, "C");
    } else {
        lua_pushnil(state);
    }
    return 1;
}

}  // namespace gd
