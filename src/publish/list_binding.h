// Which installations a signed filelist.dat is for: those whose config.dat
// names one of its update folders (DUREDOR_FTP_PATH), carried as folder=
// in the trusted comment of its signature (trust/trusted_comment.h). The
// publisher's commands learn the folders from what the publisher holds:
// the release trees' config.dat, or the list's own signature.
#pragma once

#include "publish/server_state.h"

#include "trust/public_key.h"

#include <filesystem>
#include <string>
#include <vector>

namespace gd::publish {

// The update folder of each tree's config.dat, each once, in order. A tree
// without a config.dat, or with one that does not run to its end, adds none
// (the release refuses such a NEW_TREE for its own reasons).
std::vector<std::string> treeFolders(const std::vector<std::filesystem::path>& trees);

// The folders that the signature beside `list` binds it to, when `key` made
// that signature (its expiry aside: this is about whom the list is for, not
// whether it is still good); none otherwise.
std::vector<std::string> signedFolders(const std::filesystem::path& list, const gd::PublicKey& key);

// The folders to sign the live list for again (resign, rollout): those the
// publisher's record names, else those its verified signature names.
std::vector<std::string> boundFolders(const ServerState& state, const std::filesystem::path& live);

}  // namespace gd::publish
