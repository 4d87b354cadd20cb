// Archive entry names: trimming only ever cuts a prefix, and a name joined onto
// the base never leaves it, trimmed or not.

#include "support/check.h"
#include "update/update_archive.h"
#include "util/safe_path.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

const std::string kBase = "/fuzz/base/";

void checkStaysInside(std::string_view relative) {
    const auto joined = gd::joinInside(kBase, relative);
    if (!joined) return;
    GD_FUZZ_CHECK(joined->starts_with(kBase) || *joined == kBase);
    const std::string_view rest = std::string_view(*joined).substr(kBase.size());
    GD_FUZZ_CHECK(rest.find('\0') == std::string_view::npos);
    GD_FUZZ_CHECK(rest.find('\\') == std::string_view::npos);
    // Every component is a plain name: none empty, ".", or "..".
    std::size_t start = 0;
    while (start < rest.size()) {
        std::size_t end = rest.find('/', start);
        if (end == std::string_view::npos) end = rest.size();
        const std::string_view part = rest.substr(start, end - start);
        GD_FUZZ_CHECK(!part.empty() && part != "." && part != "..");
        start = end + 1;
    }
    GD_FUZZ_CHECK(rest.empty() || rest.back() != '/');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    const std::string trimmed = gd::trimEntryName(name);
    GD_FUZZ_CHECK(name.ends_with(trimmed));
    // Trimming stops only once no rule applies, so no separator leads.
    GD_FUZZ_CHECK(trimmed.empty() || (trimmed.front() != '/' && trimmed.front() != '\\'));
    checkStaysInside(name);
    checkStaysInside(trimmed);
    return 0;
}
