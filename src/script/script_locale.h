// The one locale every script runs in. String comparison (and so
// table.sort), os.date's names, the character classes of patterns,
// string.upper and the reading and writing of numbers all follow the C
// library's locale; scripts of one server must give one result on every
// user's machine and in both front ends, whatever LANG says and whatever the
// window set for its own texts. The original launcher ran them in Windows'
// "japanese" locale (code page 932), whose collation and date names no Linux
// locale reproduces, so scripts run in the "C" locale: bytes compare as
// unsigned numbers, names are English, only ASCII letters are letters.
#pragma once

#include <locale.h>

struct lua_State;

namespace gd {

// Owner of a "C" locale object; null when it could not be made.
class ScriptLocale {
  public:
    ScriptLocale() : locale_(::newlocale(LC_ALL_MASK, "C", locale_t{})) {}
    ScriptLocale(const ScriptLocale&) = delete;
    ScriptLocale& operator=(const ScriptLocale&) = delete;
    ~ScriptLocale() {
        if (locale_ != locale_t{}) ::freelocale(locale_);
    }

    locale_t get() const { return locale_; }
    explicit operator bool() const { return locale_ != locale_t{}; }

  private:
    locale_t locale_;
};

// Makes `locale` the calling thread's locale for the scope's life, then puts
// back the one it had: the process's own stays as it is for every other
// thread and for the window's texts.
class ThreadLocaleScope {
  public:
    explicit ThreadLocaleScope(locale_t locale) : previous_(::uselocale(locale)) {}
    ThreadLocaleScope(const ThreadLocaleScope&) = delete;
    ThreadLocaleScope& operator=(const ThreadLocaleScope&) = delete;
    ~ThreadLocaleScope() {
        if (previous_ != locale_t{}) ::uselocale(previous_);
    }

  private:
    locale_t previous_;
};

// os.setlocale for scripts: the locale is not theirs to change, for the
// process or for themselves. A query, "C" and "POSIX" give "C"; any other
// name gives nil, as Lua's own does for a locale the system cannot set.
int fixedScriptSetlocale(lua_State* state);

}  // namespace gd
