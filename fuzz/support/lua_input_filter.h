// Which fuzz inputs are handed to the engine's Lua states.
#pragma once

#include <string_view>

namespace gdfuzz {

// True when the chunk names a way out of the interpreter: the os, io and
// package libraries, loading code from text or files (which could spell
// those names), the global table, and print (which would flood the fuzzer's
// own output). The engine opens every standard library
// on purpose, so such a chunk could exit the fuzzer or touch the machine's
// files; it would exercise the operating system rather than the engine.
// Every maximal run of letters, digits and '_' counts, even inside strings and
// comments, which errs on the side of leaving an input out.
bool reachesOutside(std::string_view chunk);

}  // namespace gdfuzz
