#include "fetch/ftp_session.h"

#include "fetch/curl_handle.h"
#include "fetch/transfer_attempts.h"

#include "fetch/download_sink.h"
#include "fetch/file_download_sink.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>

namespace gd {
namespace {

// Bytes libcurl hands over per write: large enough that a fast link is not
// held up by the calls, small enough to be nothing next to the chunk size.
constexpr long kReceiveBufferSize = 256 * 1024;

struct CurlMultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using CurlMultiHandle = std::unique_ptr<CURLM, CurlMultiDeleter>;

// libcurl 7.88 does not always wake up when a passive data connection can
// start, and curl_easy_perform then sleeps a whole second before every
// transfer. Our own loop over the multi interface looks again at most this
// long after the last activity (a reply that such a step follows), and then
// less and less often, up to the longest slice, while the line is quiet.
constexpr int kFirstPollSliceMs = 1;
constexpr int kPollSliceMs = 10;

struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};

std::string escape(CURL* handle, std::string_view text) {
    const std::unique_ptr<char, CurlTextDeleter> escaped(
        curl_easy_escape(handle, text.data(), static_cast<int>(text.size())));
    return escaped ? std::string(escaped.get()) : std::string();
}

// The URL of the server's update directory, ending in '/'. The directory is
// escaped as one piece, '/' included: with the single-CWD method libcurl then
// enters it with one CWD of exactly this text, as WinINet's
// FtpSetCurrentDirectory did, whether it is relative to the login directory
// or absolute.
std::string directoryUrl(CURL* handle, const FtpEndpoint& endpoint, std::string_view path) {
    const bool v6 = endpoint.host.find(':') != std::string::npos;
    std::string url = "ftp://" + (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" +
                      std::to_string(endpoint.port) + "/";
    const auto last = path.find_last_not_of('/');
    if (last != std::string_view::npos) {
        path = path.substr(0, last + 1);
    } else if (!path.empty()) {
        path = "/";
    }
    if (!path.empty()) url += escape(handle, path) + "/";
    return url;
}

int onTransferInfo(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::stop_token*>(stop)->stop_requested() ? 1 : 0;
}

// Explicit FTPS for the control and every data connection, or nothing: a
// server without TLS fails the login instead of getting it in plain text.
bool requireTls(CURL* handle, const ServerRecord& server) {
    bool ok =
        curl_easy_setopt(handle, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL)) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS)) ==
                   CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    if (ok && !server.ftpCaFile.empty()) {
        // The publisher's own CA replaces the system's store, not adds to it.
        ok = curl_easy_setopt(handle, CURLOPT_CAINFO, server.ftpCaFile.c_str()) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr) == CURLE_OK;
    }
    return ok;
}

bool isTlsFailure(CURLcode code) {
    switch (code) {
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_USE_SSL_FAILED:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return true;
        default:
            return false;
    }
}

// Why a login and CWD failed, for the person who has to set it right.
std::string openFailureText(CURLcode code, const ServerRecord& server, std::string_view detail) {
    const std::string where = "the update server " + server.ftpAddress;
    switch (code) {
        case CURLE_LOGIN_DENIED:
            return where + " refused the login of " + server.ftpUser;
        case CURLE_REMOTE_ACCESS_DENIED:
            return where + " cannot enter the folder " + server.ftpPath;
        case CURLE_COULDNT_RESOLVE_HOST:
            return where + " is unknown: its host name does not resolve";
        case CURLE_COULDNT_CONNECT:
            return where + " does not answer: no connection can be made to it";
        case CURLE_OPERATION_TIMEDOUT:
            return where + " does not answer in time";
        default:
            return where + " does not answer: " +
                   std::string(detail.empty() ? curl_easy_strerror(code) : detail);
    }
}

bool configure(CURL* handle, const ServerRecord& server, const FtpTimeouts& timeouts,
               const std::stop_token* stop) {
    bool ok = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "ftp") == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_USERAGENT, kFtpAgent) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_USERNAME, server.ftpUser.c_str()) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_PASSWORD, server.ftpPassword.c_str()) == CURLE_OK;
    // Direct access only: no proxy from the environment either.
    ok = ok && curl_easy_setopt(handle, CURLOPT_PROXY, "") == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_FTP_FILEMETHOD,
                                static_cast<long>(CURLFTPMETHOD_SINGLECWD)) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_TRANSFERTEXT, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT,
                                static_cast<long>(timeouts.connect.count())) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                                static_cast<long>(timeouts.stall.count())) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                                static_cast<long>(timeouts.stall.count())) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferSize) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &onTransferInfo) == CURLE_OK;
    ok = ok && curl_easy_setopt(handle, CURLOPT_XFERINFODATA, stop) == CURLE_OK;
    return ok && (!server.ftpTls || requireTls(handle, server));
}

size_t discardBody(char*, size_t size, size_t count, void*) {
    return size * count;
}

struct HeadSink {
    std::size_t limit = 0;
    std::string text;
    bool full = false;
};

size_t writeHead(char* data, size_t size, size_t count, void* user) {
    HeadSink& sink = *static_cast<HeadSink*>(user);
    const std::size_t bytes = size * count;
    const std::size_t room = sink.limit - sink.text.size();
    sink.text.append(data, std::min(bytes, room));
    if (bytes <= room) return bytes;
    sink.full = true;
    return 0;  // everything wanted is here: end the transfer
}

// The local side of a download: the sink, the byte reached and the reports.
struct Transfer {
    DownloadSink* sink = nullptr;
    std::optional<std::uint64_t> size;  // announced size, when the server told it
    std::uint64_t cap = 0;              // no byte past it is handed over
    const ProgressSink* progress = nullptr;
    std::optional<ProgressPacer> pacer;
    bool refused = false;  // the sink did not take bytes
    bool overrun = false;  // the server sent past the cap

    std::uint64_t reached() const { return sink->received(); }
    std::uint64_t start = 0;  // what the sink held when the transfer began
    void report(std::uint64_t at) const {
        if (*progress) (*progress)(transferProgress(start, at, size));
    }
    void reportDone() const {
        if (*progress) (*progress)(finishedTransfer(start, reached(), size));
    }
    void reportRetry(int attempt) const {
        if (*progress) (*progress)(retryingTransfer(start, reached(), size, attempt));
    }
    bool complete(CURLcode code) const {
        // Every announced byte is here even when the closing reply was lost.
        return size ? reached() == *size : code == CURLE_OK;
    }
};

size_t writeSink(char* data, size_t size, size_t count, void* user) {
    Transfer& transfer = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (bytes > transfer.cap - transfer.reached()) {
        transfer.overrun = true;
        return 0;  // ends the transfer
    }
    if (!transfer.sink->accept({data, bytes})) {
        transfer.refused = true;
        return 0;
    }
    if (transfer.pacer->due(transfer.reached(), transfer.size)) transfer.report(transfer.reached());
    return bytes;
}

}  // namespace

// One exchange at a time: what a perform needs is set just before it and
// taken back after it, so that the handle never points at a sink that is gone.
struct FtpSession::Connection {
    // Declared before the handle, which points at them.
    std::stop_token stop;
    char errorText[CURL_ERROR_SIZE] = {};
    std::optional<std::chrono::steady_clock::time_point> deadline;
    CurlHandle handle;
    // Holds the logged-in connection between transfers; destroyed first, when
    // it says QUIT.
    CurlMultiHandle multi;
    std::string directoryUrl;  // ends in '/'

    std::string fileUrl(const std::string& name) const {
        return directoryUrl + escape(handle.get(), name);
    }

    // Without a body, libcurl only logs in if need be, enters the directory
    // and, for a file, asks its size.
    CURLcode perform(const std::string& url, bool body, curl_off_t resumeFrom,
                     curl_write_callback write, void* sink, std::stop_token stopToken) {
        CURL* curl = handle.get();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_NOBODY, body ? 0L : 1L);
        // libcurl would stop quietly at the size that SIZE gave; the sink
        // decides, and fails a transfer that runs past it. A resumed one
        // needs the size asked (libcurl sends REST after SIZE) and is cut
        // at it.
        curl_easy_setopt(curl, CURLOPT_IGNORE_CONTENT_LENGTH, body && resumeFrom == 0 ? 1L : 0L);
        curl_easy_setopt(curl, CURLOPT_RESUME_FROM_LARGE, resumeFrom);
        // A file's modification time (MDTM) is asked with its size.
        curl_easy_setopt(curl, CURLOPT_FILETIME, body ? 0L : 1L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, sink);
        stop = std::move(stopToken);
        const CURLcode code = run();
        stop = {};
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discardBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
        return code;
    }

    CURLcode run() {
        CURL* curl = handle.get();
        if (curl_multi_add_handle(multi.get(), curl) != CURLM_OK) return CURLE_FAILED_INIT;
        CURLcode code = CURLE_OK;
        int running = 1;
        int slice = kFirstPollSliceMs;
        while (running != 0) {
            // The progress function cannot stop a connection attempt or a
            // login that hangs; this can.
            if (stop.stop_requested()) {
                code = CURLE_ABORTED_BY_CALLBACK;
                break;
            }
            if (deadline && std::chrono::steady_clock::now() >= *deadline) {
                code = CURLE_OPERATION_TIMEDOUT;
                break;
            }
            if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
                code = CURLE_FAILED_INIT;
                break;
            }
            if (running == 0) break;
            int active = 0;
            curl_multi_poll(multi.get(), nullptr, 0, slice, &active);
            slice = active > 0 ? kFirstPollSliceMs : std::min(2 * slice, kPollSliceMs);
        }
        int queued = 0;
        while (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
            if (message->msg == CURLMSG_DONE) code = message->data.result;
        }
        curl_multi_remove_handle(multi.get(), curl);
        return code;
    }
};

FtpSession::FtpSession(FtpTimeouts timeouts) : timeouts_(timeouts) {}

FtpSession::~FtpSession() = default;

bool FtpSession::Open(const ServerRecord& server, std::stop_token stop) {
    Close();
    tlsFailure_.clear();
    failure_.clear();
    const auto endpoint = parseFtpAddress(server.ftpAddress);
    if (!server.unusable.empty()) {
        failure_ = "config.dat cannot be used: " + server.unusable;
        return false;
    }
    if (!endpoint) {
        failure_ =
            "DUREDOR_FTP_ADR \"" + server.ftpAddress + "\" is no host, host:port or [v6]:port";
        return false;
    }
    if (!curlReady()) return false;
    auto connection = std::make_unique<Connection>();
    connection->handle.reset(curl_easy_init());
    connection->multi.reset(curl_multi_init());
    CURL* handle = connection->handle.get();
    if (handle == nullptr || connection->multi == nullptr ||
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, connection->errorText) != CURLE_OK ||
        !configure(handle, server, timeouts_, &connection->stop)) {
        return false;
    }
    if (timeouts_.total.count() > 0)
        connection->deadline = std::chrono::steady_clock::now() + timeouts_.total;
    connection->directoryUrl = directoryUrl(handle, *endpoint, server.ftpPath);
    const CURLcode code = connection->perform(connection->directoryUrl, false, 0, &discardBody,
                                              nullptr, std::move(stop));
    if (code != CURLE_OK) {
        const std::string_view detail = connection->errorText;
        if (server.ftpTls && isTlsFailure(code)) {
            tlsFailure_ = "no secure connection to " + server.ftpAddress + ": " +
                          std::string(detail.empty() ? curl_easy_strerror(code) : detail);
            failure_ = tlsFailure_;
        } else if (code != CURLE_ABORTED_BY_CALLBACK) {
            failure_ = openFailureText(code, server, detail);
        }
        return false;
    }
    connection_ = std::move(connection);
    return true;
}

void FtpSession::Close() {
    connection_.reset();
}

bool FtpSession::isOpen() const {
    return connection_ != nullptr;
}

std::optional<std::string> FtpSession::ReadHead(const std::string& remoteName, std::size_t limit,
                                                std::stop_token stop) {
    if (!isOpen() || remoteName.empty()) return std::nullopt;
    HeadSink sink{limit, {}, false};
    const CURLcode code =
        connection_->perform(connection_->fileUrl(remoteName), true, 0, &writeHead, &sink, stop);
    if (stop.stop_requested() || (code != CURLE_OK && !sink.full)) return std::nullopt;
    return std::move(sink.text);
}

DownloadResult FtpSession::Download(const std::string& remoteName, DownloadSink& sink,
                                    const ProgressSink& progress, std::stop_token stop,
                                    std::uint64_t limit) {
    return transfer(
        remoteName, [&sink] { return &sink; }, progress, std::move(stop), limit);
}

DownloadResult FtpSession::DownloadToFile(const std::string& remoteName,
                                          const std::filesystem::path& localPath,
                                          const ProgressSink& progress, std::stop_token stop,
                                          std::uint64_t limit) {
    std::optional<FileDownloadSink> file;
    const auto open = [&]() -> DownloadSink* {
        file.emplace(localPath);
        return file->isOpen() ? &*file : nullptr;
    };
    const DownloadResult result = transfer(remoteName, open, progress, std::move(stop), limit);
    if (result == DownloadResult::Done && !file->close()) return DownloadResult::ReadFailed;
    return result;
}

DownloadResult FtpSession::transfer(const std::string& remoteName,
                                    const std::function<DownloadSink*()>& openSink,
                                    const ProgressSink& progress, std::stop_token stop,
                                    std::uint64_t limit) {
    if (!isOpen() || remoteName.empty()) return DownloadResult::NotOpened;
    CURL* handle = connection_->handle.get();
    const std::string url = connection_->fileUrl(remoteName);

    // The size first (SIZE): a file the server does not have opens no sink.
    const CURLcode sizeCode = connection_->perform(url, false, 0, &discardBody, nullptr, stop);
    if (stop.stop_requested()) return DownloadResult::Cancelled;
    if (sizeCode != CURLE_OK) return DownloadResult::NotOpened;
    curl_off_t announced = -1;
    curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (announced >= 0 && static_cast<std::uint64_t>(announced) > limit)
        return DownloadResult::TooLarge;

    curl_off_t modified = -1;
    curl_easy_getinfo(handle, CURLINFO_FILETIME_T, &modified);

    Transfer state;
    state.sink = openSink();
    if (state.sink == nullptr) return DownloadResult::NotOpened;
    if (announced >= 0) state.size = static_cast<std::uint64_t>(announced);
    RemoteStamp stamp{state.size, std::nullopt};
    if (modified >= 0) stamp.modified = static_cast<std::int64_t>(modified);
    if (!state.sink->begin(stamp)) return DownloadResult::ReadFailed;
    state.cap = state.size.value_or(limit);
    state.progress = &progress;
    state.start = state.reached();
    state.pacer.emplace(state.start);

    ChunkAttempts attempts;
    for (;;) {
        const CURLcode code = connection_->perform(
            url, true, static_cast<curl_off_t>(state.reached()), &writeSink, &state, stop);
        if (stop.stop_requested()) return DownloadResult::Cancelled;
        if (state.refused) return DownloadResult::ReadFailed;
        // More than announced: the file changed on the server under us, or
        // the server means harm. Without an announced size, the limit.
        if (state.overrun)
            return state.size ? DownloadResult::ReadFailed : DownloadResult::TooLarge;
        if (state.complete(code)) break;
        if (code == CURLE_REMOTE_FILE_NOT_FOUND && state.reached() == 0) {
            return DownloadResult::NotOpened;
        }
        // A server that refuses REST refuses it on every attempt.
        if (code == CURLE_FTP_COULDNT_USE_REST) return DownloadResult::ReadFailed;
        if (!attempts.failed(state.reached())) return DownloadResult::ReadFailed;
        state.reportRetry(attempts.next());
        if (!pauseBeforeRetry(stop)) return DownloadResult::Cancelled;
    }
    state.reportDone();
    return DownloadResult::Done;
}

}  // namespace gd
