// Which archive comes next: delta archives stand in for runs of the chain
// from the version the installation is at, the furthest first.

#include "update/update_plan.h"

#include <gtest/gtest.h>

namespace {

TEST(UpdatePlan, TheFurthestDeltaFromWhereTheInstallationIsElseTheChain) {
    const std::vector<gd::PatchEntry> chain{
        {"", 1.1f, "p1.1"}, {"", 1.2f, "p1.2"}, {"", 1.3f, "p1.3"}};
    gd::VersionRules rules;
    rules.deltas = {{1.0f, 1.2f, "d1.0-1.2", {}},
                    {1.0f, 1.3f, "d1.0-1.3", {}},
                    {1.1f, 1.3f, "d1.1-1.3", {}},
                    {1.2f, 1.4f, "d1.2-1.4", {}},
                    {1.05f, 1.3f, "d1.05-1.3", {}}};
    const struct {
        float at;
        std::size_t next;
        bool deltas;
        std::size_t last;
        const char* delta;  // none: the whole-file archive of `next`
    } cases[] = {
        {1.0f, 0, true, 2, "d1.0-1.3"},  // the furthest of two
        {1.1f, 1, true, 2, "d1.1-1.3"},  // after a whole-file archive
        {1.2f, 2, true, 2, nullptr},     // to a version the chain does not list
        {1.0f, 0, false, 0, nullptr},    // after a fallback
        {1.04f, 0, true, 0, nullptr},    // from another version
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at);
        const gd::PlanStep step = gd::nextStep(c.at, chain, c.next, rules, c.deltas);
        EXPECT_EQ(step.first, c.next);
        EXPECT_EQ(step.last, c.last);
        EXPECT_EQ(step.delta ? step.delta->archive : "", c.delta ? c.delta : "");
    }
}

}  // namespace
