// encrypt, decrypt, config and filelist: the engine's local side.

#include "arguments.h"
#include "command_help.h"
#include "command_output.h"
#include "commands.h"
#include "terminal_output.h"

#include "script/launcher_config.h"
#include "script/notifier.h"
#include "script/script_cipher.h"
#include "script/version_manifest.h"
#include "script/version_offer.h"
#include "script/version_rules.h"
#include "trust/public_key.h"

#include <charconv>
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
    // Usage messages begin with their command's name where they have one.
    const std::string_view first = message.substr(0, message.find_first_of(" :"));
    const std::string help =
        commandHelp(first) ? "gdtool " + std::string(first) + " --help" : "gdtool --help";
    return fail(kExitUsage, std::string(message) + " (see " + help + ")");
}

int fail(int exitCode, std::string_view message) {
    std::cerr << "gdtool: " << message << '\n';
    return exitCode;
}

int fail(CommandOutput& output, int exitCode, std::string_view message) {
    output.json(JsonObject().add("type", "refused").add("exit", exitCode).add("reason", message));
    return fail(exitCode, message);
}

std::string launcherDirArgument(const std::string& dir) {
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error)) return {};
    return dir.ends_with('/') ? dir : dir + '/';
}

std::string installationArgument(const std::string& dir) {
    const std::string launcherDir = launcherDirArgument(dir);
    if (launcherDir.empty()) {
        fail(kExitInput, "not a directory: " + dir);
        return {};
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(launcherDir + "config.dat", error)) {
        fail(kExitInput, "no config.dat in " + dir + ": not an installation");
        return {};
    }
    return launcherDir;
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

int configCommand(const Arguments& arguments) {
    Arguments args = arguments;
    CommandOutput output(takeFlag(args, "--json"));
    const bool showPassword = takeFlag(args, "--show-password");
    if (args.size() != 1) return fail("config needs DIR [--json] [--show-password]");
    const std::string dir = installationArgument(args[0]);
    if (dir.empty()) return kExitInput;

    gd::LauncherConfig config;
    gd::loadLauncherConfig(dir, config);
    // Output is pasted into bug reports and terminals are watched: the
    // password shows only when asked for, and an empty one stays empty.
    const std::string& password = config.server.ftpPassword;
    const std::pair<const char*, std::string> settings[] = {
        {"CERTIFICATION_URL", config.newsPageAddress},
        {"DUREDOR_FTP_ADR", config.server.ftpAddress},
        {"DUREDOR_FTP_USER", config.server.ftpUser},
        {"DUREDOR_FTP_PASS", showPassword || password.empty() ? password : "<hidden>"},
        {"DUREDOR_FTP_PATH", config.server.ftpPath},
        {"installedVersion", gd::formatVersion(config.server.installedVersion)},
        {"secondVersion", gd::formatVersion(config.secondVersion)}};
    JsonObject summary;
    summary.add("type", "config");
    for (const auto& [name, value] : settings) {
        output.text(std::string(name) + "=" + value);
        summary.add(name, value);
    }
    printTrustLines(output, summary, config.server, false);
    output.json(summary);
    return config.server.unusable.empty() ? kExitOk : kExitRefused;
}

void printTrustLines(CommandOutput& output, JsonObject& summary, const gd::ServerRecord& server,
                     bool sayUnsigned) {
    const bool isSigned = !server.signKeys.empty();
    if (isSigned || sayUnsigned) output.text(std::string("signed=") + (isSigned ? "1" : "0"));
    std::vector<std::string> keys;
    for (const gd::PublicKey& key : server.signKeys) {
        keys.push_back(gd::keyIdText(key.id));
        output.text("key=" + keys.back());
    }
    if (server.ftpTls) output.text("DUREDOR_FTP_TLS=1");
    if (!server.ftpCaFile.empty()) output.text("DUREDOR_FTP_CA=" + server.ftpCaFile);
    for (const std::string& mirror : server.mirrors) output.text("mirror=" + mirror);
    if (server.mirrorsIgnored) output.text("mirrors=ignored (the installation is unsigned)");
    if (!server.unusable.empty()) output.text("unusable=" + server.unusable);
    summary.add("signed", isSigned)
        .add("keys", keys)
        .add("DUREDOR_FTP_TLS", server.ftpTls)
        .add("DUREDOR_FTP_CA", server.ftpCaFile)
        .add("mirrors", server.mirrors)
        .add("mirrorsIgnored", server.mirrorsIgnored)
        .add("unusable", server.unusable);
}

// --number N --channel NAME: an installation's part in staged releases.
std::optional<gd::Audience> audienceArguments(Arguments& args) {
    std::optional<std::string> number, channel;
    if (!takeOption(args, "--number", number) || !takeOption(args, "--channel", channel))
        return std::nullopt;
    gd::Audience audience;
    if (number) {
        int value = -1;
        const auto [end, error] =
            std::from_chars(number->data(), number->data() + number->size(), value);
        if (error != std::errc{} || end != number->data() + number->size() || value < 0 ||
            value > 99)
            return std::nullopt;
        audience.number = value;
    }
    if (channel && !gd::isChannelName(*channel)) return std::nullopt;
    audience.channel = channel.value_or("");
    return audience;
}

int filelistCommand(const Arguments& arguments) {
    Arguments args = arguments;
    const std::optional<gd::Audience> audience = audienceArguments(args);
    if (!audience) return fail("filelist takes --number 0..99 and --channel NAME");
    if (args.size() != 2) return fail("filelist needs FILE and VER");
    auto script = readInput(args[0]);
    if (!script) return fail(kExitInput, "cannot read " + args[0]);
    const auto installed = parseVersionArgument(args[1]);
    if (!installed) return fail(kExitInput, "not a version: " + args[1]);

    // The launcher takes no more than this of the server's file.
    if (script->size() > gd::kVersionScriptLimit) script->resize(gd::kVersionScriptLimit);
    gd::ScriptCipher::decrypt(script->data(), script->size());

    CommandOutput output;
    StderrNotifier notifier(output);
    gd::VersionManifest manifest;
    float latest = gd::runVersionScript(notifier, *script, *installed, manifest);
    manifest.setRules(gd::parseVersionRules(*script));
    if (!notifier.shown()) latest = gd::offerToAudience(manifest, *audience, *installed, latest);
    output.text("latest=" + gd::formatVersion(latest));
    printEntries(output, manifest);
    printWithheld(output, manifest, *audience);
    return notifier.shown() ? kExitRefused : kExitOk;
}

}  // namespace gdtool
