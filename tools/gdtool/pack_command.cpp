// pack: a patch archive from a folder and an update script (see
// publish/pack_archive.h).

#include "commands.h"

#include "publish/pack_archive.h"

#include <iostream>

namespace gdtool {

int packCommand(const Arguments& args) {
    if (args.size() != 3) return fail("pack needs OUT.zip, SCRIPT and DIR");
    std::vector<std::string> problems;
    const gd::publish::Failure failure =
        gd::publish::packArchive(args[0], args[1], args[2], problems);
    for (const std::string& problem : problems) std::cerr << "gdtool: " << problem << '\n';
    if (!failure) return kExitOk;
    if (failure.reason.empty()) return exitCodeOf(failure.outcome);
    return fail(exitCodeOf(failure.outcome), failure.reason);
}

}  // namespace gdtool
