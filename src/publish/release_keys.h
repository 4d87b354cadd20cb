// The publisher keys that a release leaves installations with. Keys change
// only through an update that installs config.dat, so a release whose
// config.dat does not load, or names other keys than the tree before it,
// changes what every installation trusts: it is published only when the
// publisher says that is meant.
#pragma once

#include "trust/public_key.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace gd::publish {

// Why NEW_TREE's config.dat cannot be published over OLD_TREE's: it is too
// large for launchers, fails to load or run, or holds settings they refuse
// (always refused), or it names other keys than OLD_TREE's, none of them, or
// OLD_TREE's does not load, so that they cannot be compared (refused unless
// `changeKeys`). Empty when it can be published. A tree without config.dat
// has no keys.
std::string configKeyProblem(const std::filesystem::path& oldTree,
                             const std::filesystem::path& newTree, bool changeKeys);

// The keys that the tree's config.dat trusts: none for a tree without one,
// or whose config.dat launchers cannot use.
std::vector<gd::PublicKey> trustedKeys(const std::filesystem::path& tree);

// Why a release from OLD_TREE to NEW_TREE cannot be signed by `signer` (or
// left unsigned, without one): installations at OLD_TREE, or those that take
// NEW_TREE, would refuse the list it signs. Empty when it can.
std::string signingKeyProblem(const std::filesystem::path& oldTree,
                              const std::filesystem::path& newTree,
                              const std::optional<gd::PublicKey>& signer);

// "none", or the ids of `keys` as minisign shows them.
std::string keyList(const std::vector<gd::PublicKey>& keys);

}  // namespace gd::publish
