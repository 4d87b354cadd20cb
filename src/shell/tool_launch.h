// Starting one of the three editors with its command word.
#pragma once

#include "install/install_paths.h"

#include <sys/types.h>

#include <string_view>

namespace gd {

struct ToolStart {
    enum class Outcome {
        started,     // pid is the editor's process
        unreadable,  // the executable cannot be opened and read: nothing happened
        notStarted,  // readable, but the process could not be created
    };
    Outcome outcome = Outcome::notStarted;
    pid_t pid = -1;
};

// Starts the editor at `tool.path` with its command word as the whole argument
// vector, in the launcher's working directory.
ToolStart startTool(const ToolEntry& tool, int toolIndex);

}  // namespace gd
