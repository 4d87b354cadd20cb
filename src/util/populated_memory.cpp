#include "util/populated_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace gd {

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

std::unique_ptr<char[]> populatedBuffer(std::size_t size) {
    auto buffer = std::make_unique_for_overwrite<char[]>(size);
    populatePages(buffer.get(), size);
    return buffer;
}

}  // namespace gd
