#include "support/test_certificates.h"

#include "support/temp_dir.h"

#include <sys/wait.h>

#include <cstdlib>
#include <stdexcept>

namespace gdtest {
namespace {

namespace fs = std::filesystem;

std::string shellWord(const std::string& word) {
    std::string text = "'";
    for (const char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

std::string shellWord(const fs::path& path) {
    return shellWord(path.string());
}

void openssl(const std::string& arguments) {
    const std::string command = "openssl " + arguments + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("TestCertificates: failed: " + command);
}

// Small, quick keys: P-256.
std::string newKey(const fs::path& key) {
    return "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + shellWord(key);
}

}  // namespace

TestCertificates::TestCertificates(const fs::path& dir, const std::string& caName)
    : caFile(dir / "ca.pem"), certificate(dir / "server.pem"), key(dir / "server.key") {
    fs::create_directories(dir);
    const fs::path caKey = dir / "ca.key", request = dir / "server.csr",
                   extensions = dir / "server.ext";
    openssl("req -x509 " + newKey(caKey) + " -days 2 -subj " + shellWord("/CN=" + caName) +
            " -out " + shellWord(caFile));
    openssl("req " + newKey(key) + " -subj /CN=127.0.0.1 -out " + shellWord(request));
    writeFile(extensions,
              "basicConstraints = CA:FALSE\n"
              "keyUsage = digitalSignature\n"
              "extendedKeyUsage = serverAuth\n"
              "subjectAltName = IP:127.0.0.1, IP:::1, DNS:localhost\n");
    openssl("x509 -req -in " + shellWord(request) + " -CA " + shellWord(caFile) + " -CAkey " +
            shellWord(caKey) + " -CAcreateserial -days 2 -extfile " + shellWord(extensions) +
            " -out " + shellWord(certificate));
}

}  // namespace gdtest
