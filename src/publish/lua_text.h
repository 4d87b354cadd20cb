// Text that the publisher writes into Lua scripts the engine runs.
#pragma once

#include <string>
#include <string_view>

namespace gd::publish {

// `text` as a Lua 5.1 string literal that gives back exactly its bytes:
// quotes, backslashes and control bytes escaped (as three decimal digits, so
// that a digit after them cannot join them); UTF-8 and blanks stay as they are.
std::string luaQuoted(std::string_view text);

}  // namespace gd::publish
