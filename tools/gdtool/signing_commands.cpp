// keygen, sign and verify: the publisher's side of signed updates, in
// minisign's formats, so that Debian's minisign can take either side.

#include "commands.h"

#include "trust/key_generation.h"
#include "trust/public_key.h"
#include "trust/secret_key.h"
#include "trust/signature_check.h"
#include "trust/signing.h"
#include "trust/trusted_comment.h"

#include <charconv>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

namespace gdtool {

namespace {

// Whole small files (keys, signatures): at most `limit` bytes, one more to
// tell a longer file; nullopt when unreadable.
std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(limit + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) return std::nullopt;
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

constexpr std::size_t kKeyFileLimit = 4096;
constexpr int kMaxValidDays = 36500;

std::optional<int> parseDays(const std::string& text) {
    int days = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), days);
    if (error != std::errc{} || end != text.data() + text.size() || days < 1 ||
        days > kMaxValidDays) {
        return std::nullopt;
    }
    return days;
}

}  // namespace

int keygenCommand(const Arguments& args) {
    if (args.size() != 2) return fail("keygen needs PUBFILE and SECFILE");
    std::string problem;
    const auto key = gd::writeNewKeyPair(args[0], args[1], problem);
    if (!key) return fail(problem);
    std::cout << "key=" << gd::keyIdText(key->id) << '\n'
              << "DUREDOR_SIGN_KEY = \"" << gd::encodePublicKey(*key) << "\"\n";
    return kExitOk;
}

int signCommand(const Arguments& args) {
    std::optional<int> days;
    Arguments files;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--expires") {
            if (i + 1 == args.size() || !(days = parseDays(args[i + 1])))
                return fail("--expires needs a number of days from 1 to 36500");
            ++i;
        } else {
            files.push_back(args[i]);
        }
    }
    if (args.empty() || files.empty()) return fail("sign needs SECFILE and at least one FILE");
    const auto text = readSmallFile(args[0], kKeyFileLimit);
    if (!text) return fail("cannot read " + args[0]);
    std::string problem;
    const auto key = gd::parseSecretKeyFile(*text, problem);
    if (!key) return fail(args[0] + ": " + problem);
    const std::int64_t now = std::time(nullptr);
    for (const std::string& file : files) {
        if (!gd::writeSignatureFor(file, *key, days, now, problem)) return fail(problem);
        std::cout << "signed=" << file << gd::kSignatureSuffix << '\n';
    }
    return kExitOk;
}

int verifyCommand(const Arguments& args) {
    if (args.size() != 2) return fail("verify needs PUBFILE and FILE");
    const auto keyText = readSmallFile(args[0], kKeyFileLimit);
    const auto key = keyText ? gd::parsePublicKeyFile(*keyText) : std::nullopt;
    if (!key) return fail(args[0] + " is no minisign public key");

    const std::filesystem::path file = args[1];
    gd::SignatureCheck check(std::span(&*key, 1),
                             gd::expectationsFor(file.filename().string(), std::time(nullptr)));
    const auto signature = readSmallFile(gd::signatureNameFor(args[1]), gd::kSignatureFileLimit);
    if (!check.judgeSignatureFile(signature) || !check.judgeFile(file)) {
        std::cerr << "gdtool: " << check.refusal() << '\n';
        return kExitRefused;
    }
    std::cout << "verified=" << args[1] << '\n'
              << "key=" << gd::keyIdText(check.signer()->id) << '\n'
              << "trusted comment=" << check.signatureFile()->trustedComment << '\n';
    return kExitOk;
}

}  // namespace gdtool
