// How a publisher's step ended, for the front end to word and to turn into
// its exit code.
#pragma once

#include <string>

namespace gd::publish {

enum class Outcome {
    Done,
    // What was checked is at fault: a proof that does not hold, an audit's
    // findings.
    Refused,
    // What the publisher named cannot be used: a tree, a key, a version, a
    // server folder whose state is not one to build on.
    BadInput,
    CannotWrite,  // what was to be written could not be
};

struct Failure {
    Outcome outcome = Outcome::Done;
    std::string reason;  // empty for Done, and for Refused where findings say it

    explicit operator bool() const { return outcome != Outcome::Done; }
};

}  // namespace gd::publish
