// A certificate authority and a server certificate for the loopback
// addresses (127.0.0.1, ::1, localhost), made by openssl at test time, for
// FTPS servers and the launcher's DUREDOR_FTP_CA.
#pragma once

#include <filesystem>
#include <string>

namespace gdtest {

struct TestCertificates {
    // Makes the files under `dir` (created when missing); the CA's common
    // name is `caName`. Throws std::runtime_error when openssl fails.
    TestCertificates(const std::filesystem::path& dir, const std::string& caName);

    std::filesystem::path caFile;       // the CA's certificate (PEM)
    std::filesystem::path certificate;  // the server's certificate, signed by the CA
    std::filesystem::path key;          // the server's private key
};

}  // namespace gdtest
