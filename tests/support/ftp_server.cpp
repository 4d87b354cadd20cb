#include "support/ftp_server.h"

#include <cstdio>
#include <sstream>

namespace gdtest {
namespace {

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* kindName(FtpFault::Kind kind) {
    switch (kind) {
        case FtpFault::Kind::Drop:
            return "drop";
        case FtpFault::Kind::Truncate:
            return "truncate";
        case FtpFault::Kind::Stall:
            return "stall";
    }
    return "drop";
}

}  // namespace

FtpServer::FtpServer(FtpServerOptions options) : options_(std::move(options)) {
    writeControl(options_.faults, options_.rateLimit);
    server_ = std::make_unique<ScriptServer>(std::vector<std::string>{
        GD_FTP_SERVER_SCRIPT, "--root", options_.root.string(), "--user", options_.user,
        "--password", options_.password, "--host", options_.host, "--control",
        (work_.path() / "control.json").string(), "--log",
        (work_.path() / "commands.log").string()});
}

FtpServer::~FtpServer() = default;

std::uint16_t FtpServer::port() const {
    return server_->port();
}

std::string FtpServer::address() const {
    const bool v6 = options_.host.find(':') != std::string::npos;
    return (v6 ? "[" + options_.host + "]" : options_.host) + ":" + std::to_string(port());
}

gd::ServerRecord FtpServer::record(std::string ftpPath) const {
    gd::ServerRecord server;
    server.ftpAddress = address();
    server.ftpUser = options_.user;
    server.ftpPassword = options_.password;
    server.ftpPath = std::move(ftpPath);
    server.installedVersion = 1.0f;
    return server;
}

void FtpServer::setFaults(std::vector<FtpFault> faults, std::uint64_t rateLimit) {
    writeControl(faults, rateLimit);
}

void FtpServer::writeControl(const std::vector<FtpFault>& faults, std::uint64_t rateLimit) const {
    std::string json = "{\"rate\": " + std::to_string(rateLimit) + ", \"faults\": [";
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const FtpFault& fault = faults[i];
        if (i != 0) json += ", ";
        json += "{\"kind\": \"" + std::string(kindName(fault.kind)) +
                "\", \"file\": " + jsonString(fault.file) +
                ", \"after\": " + std::to_string(fault.afterBytes) +
                ", \"times\": " + std::to_string(fault.times) + "}";
    }
    json += "]}";
    // The server may read the plan at any moment: replace it whole.
    const auto temporary = work_.path() / "control.json.new";
    writeFile(temporary, json);
    std::filesystem::rename(temporary, work_.path() / "control.json");
}

std::vector<std::string> FtpServer::commands() const {
    std::istringstream in(readFile(work_.path() / "commands.log"));
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) {
        // Each line starts with the connection's number.
        const auto space = line.find(' ');
        result.push_back(space == std::string::npos ? line : line.substr(space + 1));
    }
    return result;
}

std::vector<std::string> FtpServer::arguments(std::string_view verb) const {
    std::vector<std::string> result;
    for (const std::string& command : commands()) {
        const std::string_view text(command);
        if (text == verb) {
            result.emplace_back();
        } else if (text.starts_with(verb) && text.size() > verb.size() &&
                   text[verb.size()] == ' ') {
            result.emplace_back(text.substr(verb.size() + 1));
        }
    }
    return result;
}

int FtpServer::count(std::string_view verb) const {
    return static_cast<int>(arguments(verb).size());
}

}  // namespace gdtest
