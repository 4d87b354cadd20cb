// The update script of a release archive, written from the difference of two
// installation trees.
#pragma once

#include "publish/tree_diff.h"

#include <string>

namespace gd::publish {

// Where the archive keeps the files it ships, below its update script: every
// installation path then stays a name that the entry-name rules leave alone,
// and none can collide with the script or the launcher beside it.
inline constexpr const char* kPayloadFolder = "files/";

// The Lua text of update.dat: `updater` deletes what went away (files, then
// folders from the innermost out), makes the new folders (outermost first),
// copies the shipped files from kPayloadFolder and, when the launcher
// changed, asks for its replacement last. `compact` copies in one loop over
// the names, which keeps the script of a small delta archive small (the
// enciphered script does not compress).
std::string patchScriptText(const TreeDiff& diff, const std::string& version, bool compact = false);

}  // namespace gd::publish
