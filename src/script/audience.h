// Who an installation is among those that a staged release may reach: its
// own number and the channel it opted into. Both live in the user's settings
// (src/install keeps them); the front ends hand them to the engine as values.
#pragma once

#include <optional>
#include <string>

namespace gd {

struct Audience {
    // 0..99, drawn once per installation folder; none when it could not be
    // kept, so that a number drawn anew at each start cannot widen a rollout.
    std::optional<int> number;
    std::string channel;  // empty: no channel
};

}  // namespace gd
