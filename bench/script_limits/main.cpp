// What the script limits cost, run by hand:
//
//   build/bench/script_limits [ROUNDS]
//
// 1. Pattern matching and table.sort under the engine's deadline-checked
//    functions against Debian's liblua5.1 itself, on the same chunk (the
//    results must agree, or the benchmark stops).
// 2. The version check in process, as the launcher does it, against the
//    same check in a child process that could be killed at the deadline:
//    fork, run, send the manifest back through a pipe, wait.
// Prints the median of ROUNDS (default 15) for each.

#include "script/lua_state.h"
#include "script/notifier.h"
#include "script/version_manifest.h"

#include <sys/wait.h>
#include <unistd.h>
#include <lua.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Work a published script might do with patterns, scaled up to be measurable.
constexpr const char* kPatternWork = R"lua(
local lines = {}
for i = 1, 2000 do
  lines[i] = string.format("2021/%02d/%02d patch%04d.zip 1.%d size=%d", i % 12 + 1, i % 28 + 1,
                           i, i, i * 37)
end
local text = table.concat(lines, "\n")
local total = 0
for round = 1, 20 do
  for date, name, version in text:gmatch("(%d+/%d+/%d+) (%S+) ([%d%.]+)") do
    total = total + #name + tonumber(version)
  end
  local replaced = text:gsub("patch(%d+)", "p%1")
  total = total + #replaced
  total = total + (text:find("patch1999", 1, true) or 0) + (text:find("size=%d+$") or 0)
  for i = 1, #lines, 50 do
    local y, m, d = lines[i]:match("^(%d+)/(%d+)/(%d+)")
    total = total + y + m + d
  end
  local numbers = {}
  for i = 1, 5000 do numbers[i] = (i * 7919) % 5003 end
  table.sort(numbers)
  table.sort(numbers, function(a, b) return a > b end)
  total = total + numbers[1]
end
result = total
)lua";

constexpr const char* kVersionScript = R"(
latest_version = 1.3
function filelist(latest)
  patch.File("2021/06/01", "1.1", "patch11.zip")
  patch.File("2021/07/01", "1.2", "patch12.zip")
  patch.File("2021/08/01", latest, "patch13.zip")
end
)";

class SilentNotifier : public gd::Notifier {
  public:
    void showMessage(std::string_view, std::string_view) override {}
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double timeMs(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double resultOf(lua_State* state) {
    lua_getfield(state, LUA_GLOBALSINDEX, "result");
    const double value = lua_tonumber(state, -1);
    lua_pop(state, 1);
    return value;
}

double runStock() {
    lua_State* state = luaL_newstate();
    luaL_openlibs(state);
    if (luaL_loadstring(state, kPatternWork) != 0 || lua_pcall(state, 0, 0, 0) != 0) std::exit(1);
    const double value = resultOf(state);
    lua_close(state);
    return value;
}

double runEngine() {
    // A generous limit: under valgrind the work takes minutes.
    gd::LuaState lua(std::chrono::minutes(30));
    if (lua.load(kPatternWork, "bench") != 0 || lua.pcall(0, 0) != 0) std::exit(1);
    return resultOf(lua.get());
}

std::size_t checkInProcess() {
    SilentNotifier notifier;
    gd::VersionManifest manifest;
    gd::runVersionScript(notifier, kVersionScript, 1.0f, manifest);
    return manifest.entryCount();
}

// The same check in a child: the archive names and versions come back as
// lines through a pipe, as a killable design would have to send them.
std::size_t checkInChild() {
    int fds[2];
    if (::pipe(fds) != 0) std::exit(1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        SilentNotifier notifier;
        gd::VersionManifest manifest;
        gd::runVersionScript(notifier, kVersionScript, 1.0f, manifest);
        std::string out;
        for (std::size_t i = 0; i < manifest.entryCount(); ++i)
            out += manifest.entryAt(i).archive + " " +
                   gd::formatVersion(manifest.entryAt(i).version) + "\n";
        if (::write(fds[1], out.data(), out.size()) < 0) ::_exit(1);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string in;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) in.append(buffer, n);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return static_cast<std::size_t>(std::count(in.begin(), in.end(), '\n'));
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    if (runStock() != runEngine()) {
        std::fprintf(stderr, "the engine's functions disagree with liblua5.1\n");
        return 1;
    }
    std::vector<double> stock, engine, inProcess, inChild;
    for (int i = 0; i < rounds; ++i) {
        stock.push_back(timeMs([] { runStock(); }));
        engine.push_back(timeMs([] { runEngine(); }));
        inProcess.push_back(timeMs([] {
            for (int j = 0; j < 100; ++j) checkInProcess();
        }));
        inChild.push_back(timeMs([] {
            for (int j = 0; j < 100; ++j) checkInChild();
        }));
    }
    std::printf("patterns and sort, liblua5.1:          %8.2f ms\n", median(stock));
    std::printf("patterns and sort, deadline-checked:   %8.2f ms (%+.1f %%)\n", median(engine),
                (median(engine) / median(stock) - 1) * 100);
    std::printf("version check in process, per check:   %8.3f ms\n", median(inProcess) / 100);
    std::printf("version check in a child, per check:   %8.3f ms\n", median(inChild) / 100);
    return 0;
}
