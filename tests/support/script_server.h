// A test server written in Python (Debian's /usr/bin/python3), started on a
// loopback port that it chooses and prints as its first line.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace gdtest {

class ScriptServer {
  public:
    // Runs `/usr/bin/python3 ARGS...`; throws std::runtime_error when no port
    // line arrives within a few seconds. The server also dies with the test
    // process.
    explicit ScriptServer(const std::vector<std::string>& args);
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;
    ~ScriptServer();  // kills and reaps the server

    std::uint16_t port() const { return port_; }

  private:
    void stop();

    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace gdtest
