#include "shell/tool_launch.h"

#include "util/process.h"

#include <string>

namespace gd {

ToolStart startTool(const ToolEntry& tool, int toolIndex) {
    if (!isLaunchableFile(tool.path)) return {ToolStart::Outcome::Unreadable, -1};
    const auto pid = spawnProcess(tool.path, {std::string(kEditors.at(toolIndex).commandWord)});
    if (!pid) return {ToolStart::Outcome::NotStarted, -1};
    return {ToolStart::Outcome::Started, *pid};
}

}  // namespace gd
