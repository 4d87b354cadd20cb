#include "update/update_script.h"

#include "script/encrypted_script.h"
#include "script/lua_state.h"
#include "update/patch.h"
#include "update/staged_launcher.h"
#include "update/update_archive.h"
#include "util/safe_path.h"

#include <lua.hpp>

#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace gd {

namespace {

// What one script run shares with the `update` functions it registers. Each
// run has its own, so two runs can never see each other's operations.
struct ScriptContext {
    ScriptContext(VersionManifest& target, const UnpackedArchive& unpacked)
        : manifest(target), archive(unpacked) {}

    VersionManifest& manifest;
    const UnpackedArchive& archive;
    PatchQueue pending;
    std::string targetDir;    // the installation, ends in '/'
    std::string sourceStart;  // the script's own folder below archive.root, '/' between
};

enum class QueueResult { Queued, Outside, Failed };

// The C++ half of each `update` function. It returns a status instead of
// raising a Lua error, so that its strings are destroyed before the caller
// unwinds with longjmp. The queued paths count against the script's memory
// limit, or a loop of calls with long names could hold gigabytes.
template <typename Make>
QueueResult queueOperation(lua_State* state, ScriptContext& context, std::size_t argumentBytes,
                           Make make) noexcept {
    const std::size_t cost = sizeof(CPatchCopy) + context.targetDir.size() +
                             context.archive.root.size() + context.sourceStart.size() +
                             2 * argumentBytes;
    if (!chargeLuaMemory(state, cost)) return QueueResult::Failed;
    try {
        std::unique_ptr<CPatch> operation = make();
        if (!operation) return QueueResult::Outside;
        context.pending.append(std::move(operation));
        return QueueResult::Queued;
    } catch (...) {
        // Nothing may be thrown through Lua's C frames.
        return QueueResult::Failed;
    }
}

ScriptContext& contextOf(lua_State* state) {
    return *static_cast<ScriptContext*>(lua_touserdata(state, lua_upvalueindex(1)));
}

// Raises the Lua error for a failed queueOperation; returns the function's
// result count otherwise. Nothing with a destructor may live in the frame of
// a caller of this.
int finish(lua_State* state, QueueResult result, const char* function) {
    switch (result) {
        case QueueResult::Queued:
            return 0;
        case QueueResult::Outside:
            return luaL_error(state, "update.%s: path is outside its directory or not CP932/UTF-8",
                              function);
        case QueueResult::Failed:
            return luaL_error(state, "update.%s: the operation could not be queued", function);
    }
    return 0;
}

// luaL_checklstring takes strings and numbers (a number names the file of its
// text form) and raises an error for every other type.
std::string_view pathArgument(lua_State* state, int index) {
    std::size_t length = 0;
    const char* text = luaL_checklstring(state, index, &length);
    return std::string_view(text, length);
}

// delete and mkdir: one path inside the installation.
template <typename Operation>
int queueInstallationPath(lua_State* state, const char* function) {
    const std::string_view path = pathArgument(state, 1);
    ScriptContext& context = contextOf(state);
    const QueueResult result =
        queueOperation(state, context, path.size(), [&]() -> std::unique_ptr<CPatch> {
            auto placed = placeInside(context.targetDir, path);
            if (!placed) return nullptr;
            return std::make_unique<Operation>(std::move(*placed));
        });
    return finish(state, result, function);
}

int luaDelete(lua_State* state) {
    return queueInstallationPath<CPatchDelete>(state, "delete");
}

int luaMkdir(lua_State* state) {
    return queueInstallationPath<CPatchMkdir>(state, "mkdir");
}

// Newer than the table of the first launchers: scripts that must also run on
// those look it up before they call it.
int luaRmdir(lua_State* state) {
    return queueInstallationPath<CPatchRmdir>(state, "rmdir");
}

// A source in the unpacked archive, spelled as the archive has it; nullopt
// when it leaves the archive.
std::optional<TreePath> sourceOf(const ScriptContext& context, std::string_view path) {
    auto placed = placeInside(context.archive.root, path, context.sourceStart);
    if (placed) placed->relative = context.archive.names.resolve(placed->relative);
    return placed;
}

int luaCopy(lua_State* state) {
    const std::string_view source = pathArgument(state, 1);
    const std::string_view target = pathArgument(state, 2);
    ScriptContext& context = contextOf(state);
    const QueueResult result = queueOperation(
        state, context, source.size() + target.size(), [&]() -> std::unique_ptr<CPatch> {
            const auto placedSource = sourceOf(context, source);
            auto placedTarget = placeInside(context.targetDir, target);
            if (!placedSource || !placedTarget) return nullptr;
            const CopyMode mode = context.archive.withoutPermissions.contains(placedSource->full())
                                      ? CopyMode::KeepTarget
                                      : CopyMode::FromSource;
            return std::make_unique<CPatchCopy>(*placedSource, std::move(*placedTarget), mode);
        });
    return finish(state, result, "copy");
}

// Older archives call diffcopy; it has never done anything.
int luaDiffcopy(lua_State* /*state*/) {
    return 0;
}

int luaLauncherupdate(lua_State* state) {
    ScriptContext& context = contextOf(state);
    const QueueResult result = queueOperation(state, context, 0, [&]() -> std::unique_ptr<CPatch> {
        const auto source = sourceOf(context, kLauncherExecutable);
        if (!source) return nullptr;
        return std::make_unique<CPatchLuncherCopy>(
            source->full(), TreePath{context.targetDir, kLauncherExecutable}, context.manifest);
    });
    return finish(state, result, "launcherupdate");
}

// Builds the global table `update`; run with lua_cpcall, whose light userdata
// argument is the ScriptContext that becomes every function's upvalue.
int registerUpdateTable(lua_State* state) {
    void* context = lua_touserdata(state, 1);
    static const luaL_Reg kNoFunctions[] = {{nullptr, nullptr}};
    luaL_register(state, "update", kNoFunctions);
    static const luaL_Reg kFunctions[] = {{"delete", luaDelete},
                                          {"mkdir", luaMkdir},
                                          {"copy", luaCopy},
                                          {"diffcopy", luaDiffcopy},
                                          {"launcherupdate", luaLauncherupdate},
                                          {"rmdir", luaRmdir}};
    for (const luaL_Reg& function : kFunctions) {
        lua_pushlightuserdata(state, context);
        lua_pushcclosure(state, function.func, 1);
        lua_setfield(state, -2, function.name);
    }
    return 0;
}

// Looks up and calls `updater` inside the caller's protected call: a script
// may give the globals table metamethods that raise errors or never return.
int callUpdater(lua_State* state) {
    lua_getfield(state, LUA_GLOBALSINDEX, "updater");
    lua_call(state, 0, 1);
    return 1;
}

// Runs the chunk and then `updater`; true when `updater` returned normally.
bool runScript(LuaState& lua, ScriptContext& context, const std::string& text,
               const std::filesystem::path& scriptPath, const std::string& launcherDir) {
    lua_State* state = lua.get();
    // Pushed first, while the state is nearly empty, so that pushing it cannot
    // fail for want of memory outside a protected call.
    lua_pushcfunction(state, callUpdater);
    if (lua_cpcall(state, registerUpdateTable, &context) != 0) return false;

    // Set before the chunk runs so that its top-level calls see the same
    // paths as `updater` does.
    context.targetDir = directoryText(launcherDir);
    const std::string scriptDir = directoryText(directoryOf(scriptPath).string());
    if (scriptDir.starts_with(context.archive.root))
        context.sourceStart = scriptDir.substr(context.archive.root.size());

    // A chunk that does not load or fails simply leaves `updater` undefined.
    if (lua.load(text, "update.dat") == 0) lua.pcall(0, 0);
    lua_settop(state, 1);
    // Only what `updater` queues counts.
    context.pending.clear();

    if (lua.pcall(0, 1) != 0) return false;
    lua_settop(state, 0);
    return true;
}

}  // namespace

bool RunUpdateScript(const std::filesystem::path& scriptPath, const std::string& launcherDir,
                     VersionManifest& manifest, PatchQueue& queue, const UnpackedArchive* archive,
                     std::chrono::milliseconds timeLimit) {
    if (launcherDir.empty()) return false;
    const std::string text = readEncryptedFile(scriptPath, kUpdateScriptLimit);
    if (text.empty()) return false;

    // Without the archive, the script's own folder is all it may reach.
    UnpackedArchive folder;
    if (archive == nullptr) folder.root = directoryText(directoryOf(scriptPath).string());
    // Declared before the state so that it outlives every function holding it.
    ScriptContext context(manifest, archive != nullptr ? *archive : folder);
    LuaState lua(timeLimit, LuaLibraries::Update);
    if (!lua) return false;
    if (!runScript(lua, context, text, scriptPath, launcherDir)) return false;
    queue.takeAll(context.pending);
    return true;
}

}  // namespace gd
