// libcurl's easy handle with an owner, and its global set-up.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace gd {

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

// libcurl wants its global set-up done once before the first handle; a local
// static runs it exactly once, whichever thread comes first.
inline bool curlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

}  // namespace gd
