// keygen, sign and verify: the publisher's side of signed updates, in
// minisign's formats, so that Debian's minisign can take either side.

#include "arguments.h"
#include "commands.h"

#include "publish/key_files.h"

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

bool readable(const std::filesystem::path& file) {
    std::error_code error;
    return std::filesystem::is_regular_file(file, error) && std::ifstream(file).good();
}

}  // namespace

int keygenCommand(const Arguments& args) {
    if (args.size() != 2) return fail("keygen needs PUBFILE and SECFILE");
    std::string problem;
    const auto key = gd::writeNewKeyPair(args[0], args[1], problem);
    if (!key) return fail(kExitOutput, problem);
    std::cout << "key=" << gd::keyIdText(key->id) << '\n'
              << "DUREDOR_SIGN_KEY = \"" << gd::encodePublicKey(*key) << "\"\n";
    return kExitOk;
}

int signCommand(const Arguments& args) {
    std::optional<int> days;
    std::vector<std::string> folders;  // of the installations a version list is for
    Arguments files;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--expires") {
            if (i + 1 == args.size() || !(days = parseValidDays(args[i + 1])))
                return fail(kValidDaysProblem);
            ++i;
        } else if (args[i] == "--folder" && i + 1 < args.size()) {
            folders.push_back(args[++i]);
        } else {
            files.push_back(args[i]);
        }
    }
    if (args.empty() || files.empty()) return fail("sign needs SECFILE and at least one FILE");
    std::string problem;
    const auto key = gd::publish::readSecretKey(args[0], problem);
    if (!key) return fail(kExitInput, problem);
    // Every file first: a missing one is a wrong argument, and no signature
    // is written for the others then.
    for (const std::string& file : files)
        if (!readable(file)) return fail(kExitInput, "cannot read " + file);
    const std::int64_t now = std::time(nullptr);
    for (const std::string& file : files) {
        if (!gd::writeSignatureFor(file, *key, days, now, problem, folders))
            return fail(kExitOutput, problem);
        std::cout << "signed=" << file << gd::kSignatureSuffix << '\n';
    }
    return kExitOk;
}

int verifyCommand(const Arguments& args) {
    if (args.size() != 2) return fail("verify needs PUBFILE and FILE");
    std::string problem;
    const auto key = gd::publish::readPublicKey(args[0], problem);
    if (!key) return fail(kExitInput, problem);

    const std::filesystem::path file = args[1];
    if (!readable(file)) return fail(kExitInput, "cannot read " + args[1]);
    gd::SignatureCheck check(std::span(&*key, 1),
                             gd::expectationsFor(file.filename().string(), std::time(nullptr)));
    const auto signature =
        gd::publish::readSmallFile(gd::signatureNameFor(args[1]), gd::kSignatureFileLimit);
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
