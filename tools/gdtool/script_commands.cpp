// encrypt, decrypt, config and filelist: the engine's local side.

#include "commands.h"
#include "terminal_output.h"

#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "trust/public_key.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <locale>
#include <optional>
#include <sstream>
#include <string>

namespace gdtool {

namespace {

std::optional<std::string> readInput(const std::string& name) {
    if (name == "-") return std::string(std::istreambuf_iterator<char>(std::cin), {});
    std::ifstream in(name, std::ios::binary);
    if (!in) return std::nullopt;
    std::string data(std::istreambuf_iterator<char>(in), {});
    if (in.bad()) return std::nullopt;
    return data;
}

bool writeOutput(const std::string& name, const std::string& data) {
    if (name == "-") {
        std::cout.write(data.data(), static_cast<std::streamsize>(data.size()));
        std::cout.flush();
        return static_cast<bool>(std::cout);
    }
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    out.close();
    return static_cast<bool>(out);
}

std::optional<float> parseVersionArgument(const std::string& text) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    float value = 0;
    if (!(in >> value) || !in.eof()) return std::nullopt;
    return value;
}

}  // namespace

int fail(std::string_view message) {
    return fail(kExitUsage, message);
}

int fail(int exitCode, std::string_view message) {
    std::cerr << "gdtool: " << message << '\n';
    return exitCode;
}

std::string launcherDirArgument(const std::string& dir) {
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error)) return {};
    return dir.ends_with('/') ? dir : dir + '/';
}

int encryptCommand(const Arguments& args, bool encrypt) {
    const char* name = encrypt ? "encrypt" : "decrypt";
    if (args.size() != 2) return fail(std::string(name) + " needs IN and OUT");
    auto data = readInput(args[0]);
    if (!data) return fail(kExitInput, "cannot read " + args[0]);
    if (encrypt) {
        gd::ScriptCipher::encrypt(data->data(), data->size());
    } else {
        gd::ScriptCipher::decrypt(data->data(), data->size());
    }
    if (!writeOutput(args[1], *data)) return fail(kExitOutput, "cannot write " + args[1]);
    return kExitOk;
}

int configCommand(const Arguments& args) {
    if (args.size() != 1) return fail("config needs DIR");
    const std::string dir = launcherDirArgument(args[0]);
    if (dir.empty()) return fail(kExitInput, "not a directory: " + args[0]);

    gd::LauncherConfig config;
    gd::loadLauncherConfig(dir, config);
    std::cout << "CERTIFICATION_URL=" << config.newsPageAddress << '\n'
              << "DUREDOR_FTP_ADR=" << config.server.ftpAddress << '\n'
              << "DUREDOR_FTP_USER=" << config.server.ftpUser << '\n'
              << "DUREDOR_FTP_PASS=" << config.server.ftpPassword << '\n'
              << "DUREDOR_FTP_PATH=" << config.server.ftpPath << '\n'
              << "installedVersion=" << gd::formatVersion(config.server.installedVersion) << '\n'
              << "secondVersion=" << gd::formatVersion(config.secondVersion) << '\n';
    printTrustLines(config.server, false);
    return config.server.unusable.empty() ? kExitOk : kExitRefused;
}

void printTrustLines(const gd::ServerRecord& server, bool sayUnsigned) {
    if (!server.signKeys.empty() || sayUnsigned)
        std::cout << "signed=" << (server.signKeys.empty() ? 0 : 1) << '\n';
    for (const gd::PublicKey& key : server.signKeys)
        std::cout << "key=" << gd::keyIdText(key.id) << '\n';
    if (server.ftpTls) std::cout << "DUREDOR_FTP_TLS=1\n";
    if (!server.ftpCaFile.empty()) std::cout << "DUREDOR_FTP_CA=" << server.ftpCaFile << '\n';
    for (const std::string& mirror : server.mirrors) std::cout << "mirror=" << mirror << '\n';
    if (server.mirrorsIgnored) std::cout << "mirrors=ignored (the installation is unsigned)\n";
    if (!server.unusable.empty()) std::cout << "unusable=" << server.unusable << '\n';
}

int filelistCommand(const Arguments& args) {
    if (args.size() != 2) return fail("filelist needs FILE and VER");
    auto script = readInput(args[0]);
    if (!script) return fail(kExitInput, "cannot read " + args[0]);
    const auto installed = parseVersionArgument(args[1]);
    if (!installed) return fail(kExitInput, "not a version: " + args[1]);

    // The launcher takes no more than this of the server's file.
    if (script->size() > gd::kVersionScriptLimit) script->resize(gd::kVersionScriptLimit);
    gd::ScriptCipher::decrypt(script->data(), script->size());

    StderrNotifier notifier;
    gd::VersionManifest manifest;
    const float latest = gd::runVersionScript(notifier, *script, *installed, manifest);
    manifest.setRules(gd::parseVersionRules(*script));
    std::cout << "latest=" << gd::formatVersion(latest) << '\n';
    printEntries(manifest);
    return notifier.shown() ? kExitRefused : kExitOk;
}

}  // namespace gdtool
