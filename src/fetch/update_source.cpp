#include "fetch/update_source.h"

namespace gd {
namespace {

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// A name from the version script as one path segment of a URL.
std::string percentEncoded(const std::string& name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (unreserved(byte)) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

}  // namespace

std::string FtpUpdateSource::name() const {
    std::string path = server_.ftpPath;
    if (!path.empty() && path.front() != '/') path.insert(0, "/");
    return "ftp://" + server_.ftpAddress + path;
}

bool FtpUpdateSource::open(std::stop_token stop) {
    if (session_.isOpen()) return true;
    if (session_.Open(server_, std::move(stop))) return true;
    failure_ =
        session_.tlsFailure().empty() ? "the FTP server cannot be reached" : session_.tlsFailure();
    return false;
}

std::optional<std::string> FtpUpdateSource::readHead(const std::string& file, std::size_t limit,
                                                     std::stop_token stop) {
    failure_.clear();
    if (!open(stop)) return std::nullopt;
    // A file that is not there is the server's answer, not a failure to reach it.
    return session_.ReadHead(file, limit, stop);
}

DownloadResult FtpUpdateSource::stream(const std::string& file, DownloadSink& sink,
                                       const ProgressSink& progress, std::stop_token stop,
                                       std::uint64_t limit) {
    failure_.clear();
    if (!open(stop)) return DownloadResult::NotOpened;
    const DownloadResult result = session_.Download(file, sink, progress, stop, limit);
    if (result != DownloadResult::Done) failure_ = file + " cannot be downloaded";
    return result;
}

MirrorUpdateSource::MirrorUpdateSource(std::string base, HttpOptions options)
    : base_(std::move(base)), session_(std::move(options)) {}

std::string MirrorUpdateSource::urlOf(const std::string& file) const {
    const bool separated = !base_.empty() && base_.back() == '/';
    return base_ + (separated ? "" : "/") + percentEncoded(file);
}

std::string MirrorUpdateSource::failure() const {
    return session_.failure().empty() ? std::string() : lastUrl_ + ": " + session_.failure();
}

std::optional<std::string> MirrorUpdateSource::readHead(const std::string& file, std::size_t limit,
                                                        std::stop_token stop) {
    lastUrl_ = urlOf(file);
    return session_.ReadHead(lastUrl_, limit, std::move(stop));
}

DownloadResult MirrorUpdateSource::stream(const std::string& file, DownloadSink& sink,
                                          const ProgressSink& progress, std::stop_token stop,
                                          std::uint64_t limit) {
    lastUrl_ = urlOf(file);
    return session_.Download(lastUrl_, sink, progress, std::move(stop), limit);
}

}  // namespace gd
