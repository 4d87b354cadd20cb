// Durability read from the order of system calls, as application-level
// crash-consistency checkers read it: a killed process cannot show a missing
// sync (the page cache survives it), a power cut would. A program runs under
// `strace -f -y` (tracedCommand); checkDurability replays the trace with a
// model of what is on the disk and names every file that a crash could lose
// or cut short after the program took it as placed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace gdtest {

// A name that a rename gave to a file or folder in a published folder, and
// the name it had before.
struct Placement {
    std::string path;
    std::string from;
};

struct DurabilityReport {
    std::vector<std::string> problems;  // one line per broken rule, with the trace's line
    std::vector<Placement> placements;  // in the order of the trace
};

// The command line prefix that records `command` into `traceFile`: every
// process and thread, descriptors with their paths, the calls that write,
// sync, name or make files.
std::string tracedCommand(const std::filesystem::path& traceFile);

// Replays the trace. `published` are the folders whose content counts as
// placed (an installation); every path the program touches lies below
// `fileSystem`, which syncfs of any file below it makes durable as a whole.
// The rules, for every file given a name in a published folder by a rename
// or a link: its data (and size) was made durable (fsync, fdatasync, syncfs,
// sync) after its last write and before it got that name; its folder is
// synced afterwards, as is the folder of every folder made on the way. When
// version.dat gets its name, everything placed before it is durable, names
// and all. A folder renamed into a published one must hold nothing that is
// not durable yet.
DurabilityReport checkDurability(const std::filesystem::path& traceFile,
                                 const std::vector<std::filesystem::path>& published,
                                 const std::filesystem::path& fileSystem);

}  // namespace gdtest
