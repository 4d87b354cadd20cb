#include "robustness/update_site.h"

#include <sys/wait.h>

#include <cstdlib>

namespace gdtest {
namespace {

namespace fs = std::filesystem;

FtpServerOptions siteServer(const fs::path& root, std::uint64_t rateLimit) {
    fs::create_directories(root / "server");
    FtpServerOptions options;
    options.root = root / "server";
    options.rateLimit = rateLimit;
    return options;
}

}  // namespace

UpdateSite::UpdateSite(std::uint64_t rateLimit) : server_(siteServer(root_.path(), rateLimit)) {}

fs::path UpdateSite::serverFolder(const std::string& name) const {
    const fs::path folder = serverRoot() / name;
    fs::create_directories(folder);
    return folder;
}

std::string UpdateSite::configText(const std::string& folder) const {
    const gd::ServerRecord record = server_.record("/" + folder);
    return "DUREDOR_FTP_ADR = [[" + record.ftpAddress + "]]\nDUREDOR_FTP_USER = [[" +
           record.ftpUser + "]]\nDUREDOR_FTP_PASS = [[" + record.ftpPassword +
           "]]\nDUREDOR_FTP_PATH = [[" + record.ftpPath + "]]\n";
}

void UpdateSite::writeConfig(const fs::path& installDir, const std::string& folder) const {
    writeEncrypted(installDir / "config.dat", configText(folder));
}

void serveVersionScript(const fs::path& folder, std::string_view latest,
                        const std::vector<std::string>& entries) {
    std::string script = "latest_version = " + std::string(latest) + "\nfunction filelist()\n";
    for (const std::string& entry : entries) script += "  patch.File(" + entry + ")\n";
    writeEncrypted(folder / "filelist.dat", script + "end\n");
}

int runShell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shellQuoted(const fs::path& path) {
    std::string quoted = "'";
    for (const char c : path.string()) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

}  // namespace gdtest
