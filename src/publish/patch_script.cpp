#include "publish/patch_script.h"

#include "publish/lua_text.h"

namespace gd::publish {

std::string patchScriptText(const TreeDiff& diff, const std::string& version, bool compact) {
    std::string script =
        compact ? "function updater()\n"
                : "-- Patch " + version + ", made by gdtool release.\nfunction updater()\n";
    if (!diff.removedFolders.empty()) {
        // Launchers older than update.rmdir keep the emptied folders rather
        // than fail the whole archive on a missing function.
        script += "    local rmdir = update.rmdir or function() end\n";
    }
    for (const std::string& file : diff.removedFiles)
        script += "    update.delete(" + luaQuoted(file) + ")\n";
    for (const std::string& folder : diff.removedFolders)
        script += "    rmdir(" + luaQuoted(folder) + ")\n";
    for (const std::string& folder : diff.addedFolders)
        script += "    update.mkdir(" + luaQuoted(folder) + ")\n";
    if (compact && !diff.shippedFiles.empty()) {
        script += "    for _, f in ipairs({";
        for (const std::string& file : diff.shippedFiles)
            script += luaQuoted(file) + (&file == &diff.shippedFiles.back() ? "" : ", ");
        script += "}) do update.copy(" + luaQuoted(kPayloadFolder) + " .. f, f) end\n";
    }
    for (const std::string& file : compact ? std::vector<std::string>{} : diff.shippedFiles) {
        script +=
            "    update.copy(" + luaQuoted(kPayloadFolder + file) + ", " + luaQuoted(file) + ")\n";
    }
    if (diff.launcherChanged) script += "    update.launcherupdate()\n";
    return script + (compact ? "end\n" : "    return 0\nend\n");
}

}  // namespace gd::publish
