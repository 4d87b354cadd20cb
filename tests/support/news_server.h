// A real HTTP server on loopback (tests/support/news_server.py) that answers
// every request with one page and records what it received.
#pragma once

#include "support/script_server.h"
#include "support/temp_dir.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace gdtest {

struct HttpRequest {
    std::string method;
    std::string path;  // as sent, escapes included
    std::map<std::string, std::string> headers;
    std::string body;  // the exact bytes
};

class NewsServer {
  public:
    explicit NewsServer(const std::string& page);

    std::uint16_t port() const { return server_->port(); }
    std::string address(const std::string& path) const;
    // Every request so far, in order; favicon look-ups of the browser left out.
    std::vector<HttpRequest> requests() const;

  private:
    TempDir work_;
    std::unique_ptr<ScriptServer> server_;
};

}  // namespace gdtest
