#include "publish/audit_script.h"

#include "install/install_paths.h"
#include "script/encrypted_script.h"
#include "script/lua_libraries.h"
#include "script/lua_state.h"
#include "util/safe_path.h"

#include <lua.hpp>

#include <optional>
#include <string_view>

namespace gd::publish {

namespace {

// Installation paths are checked only for climbing out; they name nothing.
constexpr const char* kNoInstallation = "/installation/";

struct Recording {
    const gd::UnpackedArchive& archive;
    std::string sourceStart;  // the script's folder below archive.root
    bool inUpdater = false;   // what the main chunk asks for never counts
    AuditedScript& result;
};

// A copy source as launchers find it: from the script's folder, up to the
// archive's root, names without regard to case.
std::optional<std::string> sourceOf(const Recording& recording, std::string_view source) {
    auto placed = gd::placeInside(recording.archive.root, source, recording.sourceStart);
    if (!placed) return std::nullopt;
    return recording.archive.root + recording.archive.names.resolve(placed->relative);
}

Recording& recordingOf(lua_State* state) {
    return *static_cast<Recording*>(lua_touserdata(state, lua_upvalueindex(1)));
}

std::string_view pathArgument(lua_State* state, int index) {
    std::size_t length = 0;
    const char* text = luaL_checklstring(state, index, &length);
    return {text, length};
}

enum class Recorded { Done, Outside, Failed };

// Returns a status rather than raising, so that no string is alive when the
// caller unwinds with longjmp.
Recorded recordCopy(Recording& recording, std::string_view source,
                    std::string_view target) noexcept {
    try {
        const auto full = sourceOf(recording, source);
        if (!full || !gd::placeInside(kNoInstallation, target)) return Recorded::Outside;
        if (recording.inUpdater) recording.result.copySources.push_back(*full);
        return Recorded::Done;
    } catch (...) {
        return Recorded::Failed;
    }
}

Recorded recordInstallationPath(std::string_view path) noexcept {
    try {
        return gd::placeInside(kNoInstallation, path) ? Recorded::Done : Recorded::Outside;
    } catch (...) {
        return Recorded::Failed;
    }
}

int finish(lua_State* state, Recorded recorded, const char* function) {
    if (recorded == Recorded::Outside)
        return luaL_error(state, "update.%s: path is outside its directory or not CP932/UTF-8",
                          function);
    if (recorded == Recorded::Failed)
        return luaL_error(state, "update.%s: the operation could not be recorded", function);
    return 0;
}

int luaCopy(lua_State* state) {
    const std::string_view source = pathArgument(state, 1);
    const std::string_view target = pathArgument(state, 2);
    return finish(state, recordCopy(recordingOf(state), source, target), "copy");
}

template <const char* kName>
int luaInstallationPath(lua_State* state) {
    return finish(state, recordInstallationPath(pathArgument(state, 1)), kName);
}

constexpr char kDelete[] = "delete";
constexpr char kMkdir[] = "mkdir";
constexpr char kRmdir[] = "rmdir";

int luaDiffcopy(lua_State*) {
    return 0;
}

int luaLauncherupdate(lua_State* state) {
    Recording& recording = recordingOf(state);
    if (!recording.inUpdater) return 0;
    recording.result.launcherUpdate = true;
    try {
        recording.result.launcherSource = sourceOf(recording, gd::kLauncherExecutable).value_or("");
    } catch (...) {
        return luaL_error(state, "update.launcherupdate: the operation could not be recorded");
    }
    return 0;
}

// Builds the global table `update`; run with cpcall, the Recording as its argument.
int registerUpdateTable(lua_State* state) {
    void* recording = lua_touserdata(state, 1);
    static const luaL_Reg kNoFunctions[] = {{nullptr, nullptr}};
    luaL_register(state, "update", kNoFunctions);
    static const luaL_Reg kFunctions[] = {{"delete", luaInstallationPath<kDelete>},
                                          {"mkdir", luaInstallationPath<kMkdir>},
                                          {"copy", luaCopy},
                                          {"diffcopy", luaDiffcopy},
                                          {"launcherupdate", luaLauncherupdate},
                                          {"rmdir", luaInstallationPath<kRmdir>}};
    for (const luaL_Reg& function : kFunctions) {
        lua_pushlightuserdata(state, recording);
        lua_pushcclosure(state, function.func, 1);
        lua_setfield(state, -2, function.name);
    }
    return 0;
}

// Inside the protected call: the globals table may have metamethods.
int callUpdater(lua_State* state) {
    lua_getfield(state, LUA_GLOBALSINDEX, "updater");
    lua_call(state, 0, 0);
    return 0;
}

std::string errorText(gd::LuaState& lua) {
    const std::string_view message = gd::luaText(lua.get(), -1);
    std::string text = message.empty() ? "an error without a message" : std::string(message);
    lua_pop(lua.get(), 1);
    return text;
}

}  // namespace

AuditedScript auditUpdateScript(const std::filesystem::path& scriptPath,
                                const gd::UnpackedArchive& archive) {
    AuditedScript result;
    const std::string text = gd::readEncryptedFile(scriptPath, gd::kUpdateScriptLimit);
    if (text.empty()) {
        result.failure = "is empty, missing or over the 1 MiB that launchers read";
        return result;
    }
    const std::string scriptDir = gd::directoryText(gd::directoryOf(scriptPath).string());
    Recording recording{archive, {}, false, result};
    if (scriptDir.starts_with(archive.root))
        recording.sourceStart = scriptDir.substr(archive.root.size());
    gd::LuaState lua(gd::kLuaTimeLimit, gd::LuaLibraries::Safe);
    if (!lua || lua.cpcall(gd::openCallStackDebug, nullptr) != 0 ||
        lua.cpcall(registerUpdateTable, &recording) != 0) {
        result.failure = "cannot be run: no Lua state";
        return result;
    }
    // Launchers go on to `updater` after a main chunk that fails; so does the audit.
    if (lua.load(text, "update.dat") != 0 || lua.pcall(0, 0) != 0)
        result.failure = "fails in its main chunk: " + errorText(lua);
    recording.inUpdater = true;
    if (lua.cpcall(callUpdater, nullptr) != 0 && result.failure.empty())
        result.failure = "fails in its updater: " + errorText(lua);
    return result;
}

}  // namespace gd::publish
