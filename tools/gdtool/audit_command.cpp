// audit: checks a server's update directory the way launchers will use it
// (see publish/audit.h); here its arguments and its lines.

#include "arguments.h"
#include "command_output.h"
#include "commands.h"

#include "publish/audit.h"
#include "publish/key_files.h"
#include "publish/release_record.h"

namespace gdtool {

namespace fs = std::filesystem;

int printAudit(CommandOutput& output, const fs::path& dir, const gd::publish::AuditReport& report) {
    if (report.listMissing)
        return fail(output, kExitInput,
                    "no " + std::string(gd::publish::kVersionScriptName) + " in " + dir.string());
    for (const gd::publish::AuditFinding& finding : report.findings) {
        const char* type = finding.warning ? "warning" : "problem";
        output.line(finding.warning ? "warning: " + finding.text : finding.text,
                    JsonObject().add("type", type).add("text", finding.text));
    }
    for (const gd::publish::StagedRelease& staged : report.staged) {
        const std::string channel = staged.channel.empty() ? "" : " in channel " + staged.channel;
        output.line("staged " + staged.version + ": " + std::to_string(staged.share) +
                        " % of the installations" + channel +
                        (staged.share == 0 ? " (halted)" : ""),
                    JsonObject()
                        .add("type", "staged")
                        .add("version", staged.version)
                        .add("share", staged.share)
                        .add("channel", staged.channel));
    }
    if (report.listRefused || report.faulty()) return kExitRefused;
    std::string delta;
    if (report.deltaArchives > 0)
        delta = ", " + std::to_string(report.deltaArchives) + " delta archives";
    output.line("ok: " + std::to_string(report.versions) + " versions, " +
                    std::to_string(report.archives) + " archives" + delta,
                JsonObject()
                    .add("type", "ok")
                    .add("versions", static_cast<long long>(report.versions))
                    .add("archives", static_cast<long long>(report.archives))
                    .add("deltaArchives", static_cast<long long>(report.deltaArchives)));
    return kExitOk;
}

int auditCommand(const Arguments& arguments) {
    Arguments args = arguments;
    CommandOutput output(takeFlag(args, "--json"));
    std::vector<fs::path> keyFiles;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--pub" && i + 1 < args.size()) {
            keyFiles.push_back(args[++i]);
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 1) return fail("audit needs SERVER_DIR [--pub PUBFILE]... [--json]");
    // Every key a launcher in the middle of a rotation may pin at once.
    std::vector<gd::PublicKey> keys;
    std::string problem;
    for (const fs::path& file : keyFiles) {
        const auto key = gd::publish::readPublicKey(file, problem);
        if (!key) return fail(output, kExitInput, problem);
        keys.push_back(*key);
    }
    const fs::path dir = positional[0];
    if (keys.empty())
        output.line(
            "note: signatures were not checked (give --pub PUBFILE for each key that "
            "installations trust)",
            JsonObject().add("type", "note").add("text", "signatures were not checked"));
    return printAudit(output, dir, gd::publish::auditServer(dir, std::move(keys)));
}

}  // namespace gdtool
