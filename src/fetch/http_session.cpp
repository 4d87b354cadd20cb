#include "fetch/http_session.h"

#include "fetch/curl_handle.h"
#include "fetch/transfer_attempts.h"
#include "install/registry.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

namespace gd {
namespace {

constexpr long kReceiveBufferSize = 256 * 1024;

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char c) {
               return std::tolower(static_cast<unsigned char>(c)) == lower;
           });
}

std::optional<std::uint64_t> numberAt(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    text.remove_prefix(first);
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

// The head of the response that carries the body: every "HTTP/" status line
// (a redirect, an interim 100) starts it anew.
struct ResponseHead {
    long status = 0;
    std::optional<std::uint64_t> length;      // Content-Length
    std::optional<std::uint64_t> rangeStart;  // Content-Range: bytes START-END/TOTAL
    std::optional<std::uint64_t> rangeTotal;

    void take(std::string_view line) {
        if (line.starts_with("HTTP/")) {
            *this = {};
            const auto space = line.find(' ');
            if (space != std::string_view::npos) {
                status = static_cast<long>(numberAt(line.substr(space)).value_or(0));
            }
        } else if (startsWithNoCase(line, "content-length:")) {
            length = numberAt(line.substr(15));
        } else if (startsWithNoCase(line, "content-range:")) {
            takeRange(line.substr(14));
        }
    }

    void takeRange(std::string_view value) {
        const auto unit = value.find("bytes");
        const auto slash = value.find('/');
        if (unit == std::string_view::npos || slash == std::string_view::npos) return;
        rangeStart = numberAt(value.substr(unit + 5));
        rangeTotal = numberAt(value.substr(slash + 1));
    }
};

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    static_cast<ResponseHead*>(user)->take(std::string_view(data, size * count));
    return size * count;
}

bool succeeded(long status) {
    return status >= 200 && status < 300;
}

// Why a transfer was ended from our side.
enum class Cut { None, HttpError, BadRange, TooLarge, Overrun, SinkRefused };

// One download: the sink, the byte reached and the reports.
struct Transfer {
    DownloadSink* sink = nullptr;
    const ProgressSink* progress = nullptr;
    std::uint64_t limit = UINT64_MAX;
    std::optional<std::uint64_t> size;  // the whole file, once announced
    ResponseHead head;
    bool decided = false;    // the final response's status has been judged
    std::uint64_t skip = 0;  // bytes already held that a 200 sends again
    Cut cut = Cut::None;
    std::optional<ProgressPacer> pacer;

    std::uint64_t reached() const { return sink->received(); }

    void startAttempt() {
        head = {};
        decided = false;
        skip = 0;
    }

    // Looks at the status of the response that brings the body.
    void decide() {
        decided = true;
        std::optional<std::uint64_t> whole;
        if (head.status == 206) {
            if (head.rangeStart != reached()) {
                cut = Cut::BadRange;
                return;
            }
            whole = head.rangeTotal;
        } else if (head.status == 200) {
            skip = reached();  // the server ignored the range
            whole = head.length;
        } else {
            cut = Cut::HttpError;
            return;
        }
        if (whole && size && *whole != *size) {
            cut = Cut::BadRange;  // the file changed between attempts
        } else if (whole && *whole > limit) {
            cut = Cut::TooLarge;
        } else if (whole && *whole < reached()) {
            cut = Cut::BadRange;
        } else if (whole) {
            size = whole;
        }
    }

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

    bool take(const char* data, std::size_t bytes) {
        if (!decided) decide();
        if (cut != Cut::None) return false;
        const std::size_t dropped = static_cast<std::size_t>(std::min<std::uint64_t>(skip, bytes));
        skip -= dropped;
        data += dropped;
        bytes -= dropped;
        const std::uint64_t cap = size.value_or(limit);
        if (bytes > cap - reached()) {
            cut = size ? Cut::Overrun : Cut::TooLarge;
            return false;
        }
        if (bytes > 0 && !sink->accept({data, bytes})) {
            cut = Cut::SinkRefused;
            return false;
        }
        if (pacer->due(reached(), size)) report(reached());
        return true;
    }
};

size_t writeTransfer(char* data, size_t size, size_t count, void* user) {
    const std::size_t bytes = size * count;
    return static_cast<Transfer*>(user)->take(data, bytes) ? bytes : 0;
}

struct HeadText {
    ResponseHead head;
    std::size_t limit = 0;
    std::string text;
    bool full = false;
    bool refused = false;  // an error status
};

size_t writeHeadText(char* data, size_t size, size_t count, void* user) {
    HeadText& sink = *static_cast<HeadText*>(user);
    if (!succeeded(sink.head.status)) {
        sink.refused = true;
        return 0;
    }
    const std::size_t bytes = size * count;
    const std::size_t room = sink.limit - sink.text.size();
    sink.text.append(data, std::min(bytes, room));
    if (bytes <= room) return bytes;
    sink.full = true;
    return 0;
}

size_t discardBody(char*, size_t size, size_t count, void*) {
    return size * count;
}

int onTransferInfo(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::stop_token*>(stop)->stop_requested() ? 1 : 0;
}

// Failures where another attempt at the same server would see the same.
bool refusedOutright(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_TOO_MANY_REDIRECTS:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_URL_MALFORMAT:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string userMirrorProxy() {
    return readRegistryValue(RegistryScope::User, "MirrorProxy").value_or("");
}

struct HttpSession::Handle {
    std::stop_token stop;  // before the handle, which points at it
    char errorText[CURL_ERROR_SIZE] = {};
    CurlHandle curl;

    bool configure(const HttpOptions& options) {
        CURL* handle = curl.get();
        bool ok = curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kHttpRedirectLimit) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_USERAGENT, kFtpAgent) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
        // Compressed bodies would not be the bytes that were signed.
        ok = ok && curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L) == CURLE_OK;
        ok =
            ok && curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT,
                                   static_cast<long>(options.timeouts.connect.count())) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                                    static_cast<long>(options.timeouts.stall.count())) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferSize) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &onTransferInfo) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &stop) == CURLE_OK;
        ok = ok && curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &onHeader) == CURLE_OK;
        if (!options.caFile.empty()) {
            ok = ok && curl_easy_setopt(handle, CURLOPT_CAINFO, options.caFile.c_str()) == CURLE_OK;
            ok = ok && curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr) == CURLE_OK;
        }
        // libcurl takes the proxy from the environment unless it is told one;
        // "" means none at all.
        if (options.proxy != kProxyFromEnvironment) {
            ok = ok && curl_easy_setopt(handle, CURLOPT_PROXY, options.proxy.c_str()) == CURLE_OK;
        }
        return ok;
    }

    // One request. `timeLeft`: what the session's total bound leaves, if any.
    CURLcode perform(const std::string& url, bool body, std::uint64_t from, ResponseHead* head,
                     curl_write_callback write, void* sink, std::stop_token stopToken,
                     std::optional<std::chrono::milliseconds> timeLeft) {
        CURL* handle = curl.get();
        errorText[0] = '\0';
        // Once on https, a redirect may not lead back to plain text.
        const bool secure = url.starts_with("https:");
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        if (body) {
            curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
        }
        const std::string range = std::to_string(from) + "-";
        curl_easy_setopt(handle, CURLOPT_RANGE, from > 0 ? range.c_str() : nullptr);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, head);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, sink);
        curl_easy_setopt(
            handle, CURLOPT_TIMEOUT_MS,
            timeLeft ? static_cast<long>(std::max<std::int64_t>(timeLeft->count(), 1)) : 0L);
        stop = std::move(stopToken);
        const CURLcode code = curl_easy_perform(handle);
        stop = {};
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &discardBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, nullptr);
        return code;
    }

    std::string describe(CURLcode code) const {
        return errorText[0] != '\0' ? std::string(errorText) : curl_easy_strerror(code);
    }
};

HttpSession::HttpSession(HttpOptions options) : options_(std::move(options)) {
    if (options_.timeouts.total.count() > 0)
        deadline_ = std::chrono::steady_clock::now() + options_.timeouts.total;
    if (!curlReady()) return;
    auto handle = std::make_unique<Handle>();
    handle->curl.reset(curl_easy_init());
    if (handle->curl && handle->configure(options_)) handle_ = std::move(handle);
}

HttpSession::~HttpSession() = default;

namespace {

std::optional<std::chrono::milliseconds> timeLeftUntil(
    const std::optional<std::chrono::steady_clock::time_point>& deadline) {
    if (!deadline) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(*deadline -
                                                                 std::chrono::steady_clock::now());
}

}  // namespace

std::optional<std::string> HttpSession::ReadHead(const std::string& url, std::size_t limit,
                                                 std::stop_token stop) {
    failure_.clear();
    if (!handle_) {
        failure_ = "no HTTP client";
        return std::nullopt;
    }
    HeadText sink;
    sink.limit = limit;
    const CURLcode code = handle_->perform(url, true, 0, &sink.head, &writeHeadText, &sink, stop,
                                           timeLeftUntil(deadline_));
    if (stop.stop_requested()) return std::nullopt;
    if (sink.full) return std::move(sink.text);
    if (sink.refused || (code == CURLE_OK && !succeeded(sink.head.status))) {
        failure_ = "HTTP status " + std::to_string(sink.head.status);
        return std::nullopt;
    }
    if (code != CURLE_OK) {
        failure_ = handle_->describe(code);
        return std::nullopt;
    }
    return std::move(sink.text);
}

bool HttpSession::Answers(const std::string& url, std::stop_token stop) {
    failure_.clear();
    if (!handle_) return false;
    ResponseHead head;
    const CURLcode code = handle_->perform(url, false, 0, &head, &discardBody, nullptr, stop,
                                           timeLeftUntil(deadline_));
    if (code != CURLE_OK) {
        failure_ = handle_->describe(code);
    } else if (!succeeded(head.status)) {
        failure_ = "HTTP status " + std::to_string(head.status);
    }
    return code == CURLE_OK && succeeded(head.status);
}

DownloadResult HttpSession::Download(const std::string& url, DownloadSink& sink,
                                     const ProgressSink& progress, std::stop_token stop,
                                     std::uint64_t limit) {
    failure_.clear();
    if (!handle_) return DownloadResult::NotOpened;
    // A mirror serves signed installations only, whose signature judges the
    // whole file: what it tells of the file is not needed to continue one.
    if (!sink.begin({})) return DownloadResult::ReadFailed;
    Transfer transfer;
    transfer.sink = &sink;
    transfer.progress = &progress;
    transfer.limit = limit;
    transfer.start = sink.received();
    transfer.pacer.emplace(transfer.start);
    ChunkAttempts attempts;
    for (;;) {
        transfer.startAttempt();
        const std::uint64_t before = sink.received();
        const CURLcode code = handle_->perform(url, true, before, &transfer.head, &writeTransfer,
                                               &transfer, stop, timeLeftUntil(deadline_));
        if (stop.stop_requested()) return DownloadResult::Cancelled;
        // An empty body never reaches the write function.
        if (code == CURLE_OK && !transfer.decided) transfer.decide();
        switch (transfer.cut) {
            case Cut::None:
                break;
            case Cut::HttpError:
                failure_ = "HTTP status " + std::to_string(transfer.head.status);
                return sink.received() == 0 ? DownloadResult::NotOpened
                                            : DownloadResult::ReadFailed;
            case Cut::TooLarge:
                failure_ = "larger than allowed";
                return DownloadResult::TooLarge;
            case Cut::BadRange:
            case Cut::Overrun:
                failure_ = "the server sent other bytes than it announced";
                return DownloadResult::ReadFailed;
            case Cut::SinkRefused:
                failure_ = "the download could not be kept";
                return DownloadResult::ReadFailed;
        }
        const bool complete = transfer.size ? sink.received() == *transfer.size : code == CURLE_OK;
        if (complete) break;
        failure_ = code == CURLE_OK ? "the file ended short" : handle_->describe(code);
        if (sink.received() == 0 && !transfer.decided && refusedOutright(code))
            return DownloadResult::NotOpened;
        // A drop after progress is resumed; a server that brings nothing more
        // (a stall, a refused connection) is not waited on again.
        if (sink.received() == before) return DownloadResult::ReadFailed;
        if (!attempts.failed(sink.received())) return DownloadResult::ReadFailed;
        transfer.reportRetry(attempts.next());
        if (!pauseBeforeRetry(stop)) return DownloadResult::Cancelled;
    }
    failure_.clear();
    transfer.reportDone();
    return DownloadResult::Done;
}

}  // namespace gd
