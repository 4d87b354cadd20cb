// Which archive a run applies next: the chain's next whole-file archive, or
// a delta archive that the rules offer from the version the installation is
// at, standing in for as many of the chain's archives as it covers.
#pragma once

#include "script/version_manifest.h"
#include "script/version_rules.h"

#include <cstddef>
#include <span>

namespace gd {

struct PlanStep {
    std::size_t first = 0;             // the chain's entries that the step brings in,
    std::size_t last = 0;              // first to last
    const DeltaRule* delta = nullptr;  // or entry `first`'s whole-file archive
};

// The step that takes an installation at `at` on from entry `next` (which
// must exist): the delta rule from `at` that reaches furthest into the
// chain, when `deltas` allows one, else the whole-file archive of `next`.
PlanStep nextStep(float at, std::span<const PatchEntry> entries, std::size_t next,
                  const VersionRules& rules, bool deltas);

}  // namespace gd
