#include "shell/tool_launch.h"

#include "util/process.h"

#include <array>
#include <string>

namespace gd {

namespace {

constexpr std::array<std::string_view, 3> kCommandWords = {"EXE_AVATARTOOL", "EXE_STEPTOOL",
                                                           "EXE_WARDROBETOOL"};

}  // namespace

std::string_view toolCommandWord(int toolIndex) {
    return toolIndex >= 0 && toolIndex < 3 ? kCommandWords[toolIndex] : std::string_view{};
}

ToolStart startTool(const ToolEntry& tool, int toolIndex) {
    if (!isLaunchableFile(tool.path)) return {ToolStart::Outcome::unreadable, -1};
    const auto pid = spawnProcess(tool.path, {std::string(toolCommandWord(toolIndex))});
    if (!pid) return {ToolStart::Outcome::notStarted, -1};
    return {ToolStart::Outcome::started, *pid};
}

}  // namespace gd
