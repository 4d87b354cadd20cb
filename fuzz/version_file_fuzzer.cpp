// version.dat: the two numbers read from any text match C's strtod in the "C"
// locale, and loading the file gives the same numbers or, for an empty or
// oversized file, recreates it with 1 and 1.

#include "script/encrypted_script.h"
#include "script/launcher_config.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "support/check.h"
#include "support/scratch_dir.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool sameFloat(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

std::string_view piece(std::string_view text, int index) {
    for (int i = 0; i < index; ++i) {
        const auto comma = text.find(',');
        if (comma == std::string_view::npos) return {};
        text.remove_prefix(comma + 1);
    }
    return text.substr(0, text.find(','));
}

// strtod reads hexadecimal numbers, which the version file never held and
// the engine reads as 0; those pieces have no oracle.
bool isHexadecimal(std::string_view piece) {
    const auto start = piece.find_first_not_of(" \t\n\v\f\r");
    if (start == std::string_view::npos) return false;
    piece.remove_prefix(start);
    if (!piece.empty() && (piece.front() == '+' || piece.front() == '-')) piece.remove_prefix(1);
    return piece.size() >= 2 && piece[0] == '0' && (piece[1] == 'x' || piece[1] == 'X');
}

void checkAgainstStrtod(std::string_view text, int index) {
    const std::string_view part = piece(text, index);
    if (isHexadecimal(part)) return;
    const std::string terminated(part);  // strtod stops at the first NUL, as atof did
    const float expected = static_cast<float>(std::strtod(terminated.c_str(), nullptr));
    GD_FUZZ_CHECK(sameFloat(gd::readVersionNumber(text, index), expected));
}

void checkLoadedFile(const gdfuzz::ScratchDir& scratch, std::string_view text) {
    const std::string dir = scratch.path().string() + "/";
    std::string cipher(text);
    gd::ScriptCipher::encrypt(cipher.data(), cipher.size());
    gdfuzz::writeBytes(scratch.path() / "version.dat", cipher);

    gd::LauncherConfig config;
    gd::loadVersionFile(dir, config);
    if (text.empty() || text.size() > gd::kVersionFileLimit) {
        GD_FUZZ_CHECK(config.server.installedVersion == 1.0f && config.secondVersion == 1.0f);
        GD_FUZZ_CHECK(gd::readEncryptedFile(scratch.path() / "version.dat",
                                            gd::kVersionFileLimit) == "1.000000,1.000000");
        return;
    }
    GD_FUZZ_CHECK(sameFloat(config.server.installedVersion, gd::readVersionNumber(text, 0)));
    GD_FUZZ_CHECK(sameFloat(config.secondVersion, gd::readVersionNumber(text, 1)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const gdfuzz::ScratchDir scratch;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkAgainstStrtod(text, 0);
    checkAgainstStrtod(text, 1);
    checkLoadedFile(scratch, text);
    return 0;
}
