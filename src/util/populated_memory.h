// Memory that is about to be written, its pages made in one call rather than
// one fault at a time. Where it was measured (a virtual machine), a fresh
// page cost 12 µs when its first write faulted it in, and 6 µs made ahead
// (1 µs for the call, the rest its first write still pays): a buffer of a
// few hundred KiB written once cost more than the work done in it. Memory
// used again costs neither, so buffers here are kept and reused where they
// can be. Where the system cannot make pages ahead, they fault in as before.
// A large buffer has a mapping of its own, in a huge page where the system
// gives one: one page to clear and map instead of hundreds.
#pragma once

#include <cstddef>
#include <memory>

namespace gd {

// Gives back a buffer's memory the way it was taken.
struct BufferRelease {
    std::size_t mapped = 0;  // bytes of a mapping of its own; none: the heap's
    void operator()(char* data) const;
};

using PopulatedBuffer = std::unique_ptr<char[], BufferRelease>;

// Makes the pages wholly inside data[0, size) present and writable.
void populatePages(char* data, std::size_t size);

// `size` bytes, uninitialised, their pages present.
PopulatedBuffer populatedBuffer(std::size_t size);

}  // namespace gd
