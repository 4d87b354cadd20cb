// Starting one of the three editors with its command word.
#pragma once

#include "install/install_paths.h"

#include <sys/types.h>

#include <string_view>

namespace gd {

struct ToolStart {
    enum class Outcome {
        Started,     // pid is the editor's process
        Unreadable,  // the executable cannot be opened and read: nothing happened
        NotStarted,  // readable, but the process could not be created
    };
    Outcome outcome = Outcome::NotStarted;
    pid_t pid = -1;
};

// Starts the editor at `tool.path` with its command word as the whole argument
// vector, in the launcher's working directory.
ToolStart startTool(const ToolEntry& tool, int toolIndex);

}  // namespace gd
