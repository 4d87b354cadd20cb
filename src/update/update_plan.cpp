#include "update/update_plan.h"

namespace gd {

PlanStep nextStep(float at, std::span<const PatchEntry> entries, std::size_t next,
                  const VersionRules& rules, bool deltas) {
    PlanStep step{next, next, nullptr};
    if (!deltas) return step;
    for (const DeltaRule& rule : rules.deltas) {
        if (rule.from != at) continue;
        // The last entry it reaches: versions never go back along the chain.
        for (std::size_t k = entries.size(); k-- > next;) {
            if (entries[k].version != rule.to) continue;
            if (step.delta == nullptr || k > step.last) step = {next, k, &rule};
            break;
        }
    }
    return step;
}

}  // namespace gd
