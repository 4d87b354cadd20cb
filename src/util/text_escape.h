// Text from outside (a server, a script, installation data) on its way to a
// person or into a line that other programs parse (a log, gdtool's output):
// with its control characters escaped it can neither end the line, so as to
// forge the next one, nor steer the terminal that shows it.
#pragma once

#include <string>
#include <string_view>

namespace gd {

// C0 controls and DEL become \xNN; in text that is valid UTF-8, the C1
// controls (U+0080..U+009F) and the line and paragraph separators
// (U+2028, U+2029) become \uNNNN. Text that is not valid UTF-8 is CP932
// (see text_encoding.h), which has no C1 controls: its bytes from 0x80 up
// stay. Characters in `kept` (separators of the caller's own) stay too.
std::string escapeControls(std::string_view text, std::string_view kept = {});

}  // namespace gd
