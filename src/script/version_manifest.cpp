#include "script/version_manifest.h"

#include "script/encrypted_script.h"
#include "script/launcher_config.h"
#include "script/lua_state.h"
#include "script/notifier.h"

#include <lua.hpp>

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

namespace gd {

namespace {

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// What atof gives for a number too large or too small for a double: infinity
// or a value at or near zero. Whether it overflows depends on the digits and
// the exponent together, so strtod itself judges, in the "C" locale.
double outOfRangeValue(std::string_view number) {
    const std::string terminated(number);
    const locale_t cLocale = ::newlocale(LC_NUMERIC_MASK, "C", locale_t{});
    if (cLocale == locale_t{}) return 0.0;
    const double value = ::strtod_l(terminated.c_str(), nullptr, cLocale);
    ::freelocale(cLocale);
    return value;
}

// atof in the "C" locale: leading blanks, an optional sign, then the longest
// number that parses; anything after it is ignored.
double parseLeadingNumber(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size() && isCSpace(text[start])) ++start;
    text.remove_prefix(start);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() == '+' || text.front() == '-') return 0.0;
    double value = 0.0;
    const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (parsed.ec == std::errc::result_out_of_range) {
        // from_chars leaves the value alone; only the matched text decides.
        value = outOfRangeValue(text.substr(0, static_cast<std::size_t>(parsed.ptr - text.data())));
    } else if (parsed.ec != std::errc{}) {
        return 0.0;
    }
    return negative ? -value : value;
}

std::string_view piece(std::string_view text, int index) {
    for (int i = 0; i < index; ++i) {
        const auto comma = text.find(',');
        if (comma == std::string_view::npos) return {};
        text.remove_prefix(comma + 1);
    }
    return text.substr(0, text.find(','));
}

// patch.File(label, version, archive), with the manifest as upvalue 1. A
// missing, nil or non-text argument raises a Lua error, so the script counts as
// unparsable. The checks run before any C++ object exists in this frame,
// because a Lua error unwinds with longjmp.
//
// So does a listed entry with an infinite version: the worker records each
// entry's version, and nothing would ever be newer than infinity.
int patchFile(lua_State* state) {
    std::size_t labelLength = 0, versionLength = 0, archiveLength = 0;
    const char* label = luaL_checklstring(state, 1, &labelLength);
    const char* version = luaL_checklstring(state, 2, &versionLength);
    const char* archive = luaL_checklstring(state, 3, &archiveLength);
    auto* manifest = static_cast<VersionManifest*>(lua_touserdata(state, lua_upvalueindex(1)));

    const float entryVersion =
        static_cast<float>(parseLeadingNumber(std::string_view(version, versionLength)));
    if (entryVersion > manifest->baseVersion()) {
        if (std::isinf(entryVersion))
            return luaL_error(state, "patch.File: version %s is out of range", version);
        if (!chargeLuaMemory(state, sizeof(PatchEntry) + labelLength + archiveLength))
            return luaL_error(state, "patch.File: the list of archives outgrew the memory limit");
        manifest->addEntry(PatchEntry{std::string(label, labelLength), entryVersion,
                                      std::string(archive, archiveLength)});
    }
    return 0;
}

// Creates the global table `patch`; run with cpcall, whose argument is the
// manifest.
int registerPatchTable(lua_State* state) {
    lua_newtable(state);
    lua_pushvalue(state, 1);
    lua_pushcclosure(state, patchFile, 1);
    lua_setfield(state, -2, "File");
    lua_setfield(state, LUA_GLOBALSINDEX, "patch");
    return 0;
}

// A script's number as a version. Past a float's range it is infinite, and
// infinity or NaN is no version at all.
bool isUsableVersion(float version) {
    return std::isfinite(version);
}

struct ListEvaluation {
    VersionManifest& manifest;
    float installed;
    float latest = 0.0f;  // 0 unless filelist was called
};

// Reads latest_version and, when it is newer than the installed version,
// calls filelist with it. Run with cpcall: the globals table may have
// metamethods that raise errors or never return.
int evaluateList(lua_State* state) {
    auto& evaluation = *static_cast<ListEvaluation*>(lua_touserdata(state, 1));
    lua_getfield(state, LUA_GLOBALSINDEX, "latest_version");
    // A latest version that is not finite counts as no number: no update.
    const float latest =
        lua_isnumber(state, -1) ? static_cast<float>(lua_tonumber(state, -1)) : 0.0f;
    lua_pop(state, 1);
    if (!isUsableVersion(latest)) return 0;
    evaluation.manifest.setAnnouncedVersion(latest);
    if (!(latest > evaluation.installed)) return 0;

    evaluation.manifest.setBaseVersion(evaluation.installed);
    lua_getfield(state, LUA_GLOBALSINDEX, "filelist");
    lua_pushnumber(state, static_cast<double>(latest));
    lua_call(state, 1, 0);
    evaluation.latest = latest;
    return 0;
}

}  // namespace

void VersionManifest::sortEntries() {
    std::stable_sort(
        entries_.begin(), entries_.end(),
        [](const PatchEntry& a, const PatchEntry& b) { return a.version < b.version; });
}

UpdateOffer offerOf(const VersionManifest& manifest) {
    UpdateOffer offer;
    for (std::size_t i = 0; i < manifest.entryCount(); ++i)
        offer.entries.push_back(manifest.entryAt(i));
    offer.rules = manifest.rules();
    offer.withheld = manifest.withheld();
    return offer;
}

float readVersionNumber(std::string_view versionText, int index) {
    return static_cast<float>(parseLeadingNumber(piece(versionText, index)));
}

std::string formatVersion(float version) {
    char buffer[512];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(version),
                                      std::chars_format::fixed, 6);
    return std::string(buffer, result.ptr);
}

std::string formatVersionFile(float installed, float second) {
    return formatVersion(installed) + "," + formatVersion(second);
}

void loadVersionFile(const std::string& launcherDir, LauncherConfig& config) {
    const std::string text = readEncryptedFile(launcherDir + "version.dat", kVersionFileLimit);
    if (text.empty()) {
        config.server.installedVersion = 1.0f;
        config.secondVersion = 1.0f;
        writeVersionFile(launcherDir, config);
        return;
    }
    config.server.installedVersion = readVersionNumber(text, 0);
    config.secondVersion = readVersionNumber(text, 1);
}

bool writeVersionFile(const std::string& launcherDir, const LauncherConfig& config) {
    return writeEncryptedFile(
        launcherDir + "version.dat",
        formatVersionFile(config.server.installedVersion, config.secondVersion));
}

bool setInstalledVersion(const std::string& launcherDir, LauncherConfig& config, float version) {
    // Versions only go forward: a lower or non-finite one would have later
    // checks offer what is installed again, or nothing ever again.
    if (!isUsableVersion(version) || version < config.server.installedVersion) return false;
    config.server.installedVersion = version;
    return writeVersionFile(launcherDir, config);
}

float runVersionScript(Notifier& notifier, std::string_view text, float installedVersion,
                       VersionManifest& manifest, std::chrono::milliseconds timeLimit) {
    manifest.setAnnouncedVersion(0.0f);
    LuaState lua(timeLimit, LuaLibraries::Safe);
    if (!lua || lua.cpcall(registerPatchTable, &manifest) != 0) return 0.0f;

    if (lua.load(text, "filelist") == LUA_ERRSYNTAX) {
        notifier.showMessage(kErrorCaption, kVersionScriptLoadError);
        return 0.0f;
    }
    lua.pcall(0, LUA_MULTRET);
    lua_settop(lua.get(), 0);

    // Entries that the main body listed do not count: only filelist's calls do.
    manifest.clearEntries();
    ListEvaluation evaluation{manifest, installedVersion};
    if (lua.cpcall(evaluateList, &evaluation) != 0) {
        notifier.showMessage(kErrorCaption, kVersionScriptRunError);
        return 0.0f;
    }
    // Servers that list the newest first (or in any order) still bring an
    // installation several versions behind up to date in one run, and the
    // recorded version only goes forward.
    manifest.sortEntries();
    return manifest.entryCount() == 0 ? 0.0f : evaluation.latest;
}

}  // namespace gd
