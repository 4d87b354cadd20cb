#include "util/populated_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace gd {

namespace {

constexpr std::uintptr_t kHugePage = 2 * 1024 * 1024;
// From this size on a buffer has huge pages of its own where the system
// gives them. Where measured (a virtual machine), 700 KiB in small pages
// cost 1 ms to make and write the first time, in a huge page 0.15 ms, most
// of it clearing the page; but buffers of 256 KiB, which are mostly kept
// and often not filled, made rebuilds slower in huge pages.
constexpr std::size_t kHugeFrom = 512 * 1024;

// `size` bytes at the start of a mapping aligned to a huge page, or null.
char* hugePagesFor(std::size_t size, std::size_t& mapped) {
    const std::uintptr_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
    void* taken = ::mmap(nullptr, rounded + kHugePage, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (taken == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(taken);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    // The spare huge page's worth is cut off on both sides of the aligned part.
    if (aligned > start) ::munmap(taken, aligned - start);
    ::munmap(reinterpret_cast<void*>(aligned + rounded), start + kHugePage - aligned);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);
#endif
    mapped = rounded;
    return reinterpret_cast<char*>(aligned);
}

}  // namespace

void BufferRelease::operator()(char* data) const {
    if (mapped > 0) {
        ::munmap(data, mapped);
    } else {
        delete[] data;
    }
}

void populatePages(char* data, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + page - 1) / page * page;
    const std::uintptr_t end = (start + size) / page * page;
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)size;
#endif
}

PopulatedBuffer populatedBuffer(std::size_t size) {
    std::size_t mapped = 0;
    char* data = size >= kHugeFrom ? hugePagesFor(size, mapped) : nullptr;
    PopulatedBuffer buffer = data != nullptr ? PopulatedBuffer(data, BufferRelease{mapped})
                                             : PopulatedBuffer(new char[size], BufferRelease{});
    populatePages(buffer.get(), size);
    return buffer;
}

}  // namespace gd
