#include "support/ftp_server.h"

#include "support/proftpd_server.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

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
        case FtpFault::Kind::Trickle:
            return "trickle";
        case FtpFault::Kind::Overrun:
            return "overrun";
        case FtpFault::Kind::Unsized:
            return "unsized";
        case FtpFault::Kind::NoRest:
            return "norest";
    }
    return "drop";
}

void markSkipped() {
    GTEST_SKIP() << "needs faults injected into downloads, which only the pyftpdlib server has";
}

// The servers log a command alike, but for the masking of PASS and a blank
// after a command without argument.
std::string normalised(std::string command) {
    while (!command.empty() && command.back() == ' ') command.pop_back();
    if (command.starts_with("PASS ")) command = "PASS ****";
    return command;
}

}  // namespace

FtpServerKind defaultFtpServerKind() {
    const char* name = std::getenv("GD_TEST_FTP_SERVER");
    if (name == nullptr || std::string_view(name).empty() ||
        std::string_view(name) == "pyftpdlib") {
        return FtpServerKind::Pyftpdlib;
    }
    if (std::string_view(name) == "proftpd") return FtpServerKind::Proftpd;
    throw std::runtime_error(std::string("GD_TEST_FTP_SERVER names no known server: ") + name);
}

// Whatever the test reports after it was marked skipped goes here instead of
// into its result, until the server goes.
struct FtpServer::SkippedRest {
    ::testing::TestPartResultArray results;
    ::testing::ScopedFakeTestPartResultReporter reporter{
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results};
};

FtpServer::FtpServer(FtpServerOptions options)
    : options_(std::move(options)), kind_(options_.kind ? *options_.kind : defaultFtpServerKind()) {
    if (kind_ == FtpServerKind::Proftpd) {
        proftpd_ = std::make_unique<ProftpdServer>(
            ProftpdAccount{options_.root, options_.user, options_.password, options_.host,
                           options_.tlsCertificate, options_.tlsKey},
            work_.path(), options_.rateLimit);
        if (!options_.faults.empty()) skipWithoutFaults();
        return;
    }
    writeControl(options_.faults, options_.rateLimit);
    std::vector<std::string> args{GD_FTP_SERVER_SCRIPT,
                                  "--root",
                                  options_.root.string(),
                                  "--user",
                                  options_.user,
                                  "--password",
                                  options_.password,
                                  "--host",
                                  options_.host,
                                  "--control",
                                  (work_.path() / "control.json").string(),
                                  "--log",
                                  (work_.path() / "commands.log").string()};
    if (!options_.tlsCertificate.empty()) {
        args.insert(args.end(), {"--tls-cert", options_.tlsCertificate.string(), "--tls-key",
                                 options_.tlsKey.string()});
    }
    server_ = std::make_unique<ScriptServer>(args);
}

FtpServer::~FtpServer() = default;

std::uint16_t FtpServer::port() const {
    return proftpd_ ? proftpd_->port() : server_->port();
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
    if (proftpd_) {
        if (!faults.empty()) skipWithoutFaults();
        proftpd_->setRateLimit(rateLimit);
        return;
    }
    writeControl(faults, rateLimit);
}

void FtpServer::skipWithoutFaults() {
    if (skippedRest_) return;
    markSkipped();
    skippedRest_ = std::make_unique<SkippedRest>();
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
        result.push_back(normalised(space == std::string::npos ? line : line.substr(space + 1)));
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
