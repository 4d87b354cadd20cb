#include "script/launcher_config.h"

#include "script/script_cipher.h"
#include "support/child_run.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

using gd::LauncherConfig;

LauncherConfig configFrom(std::string_view chunk) {
    LauncherConfig config;
    gd::applyConfigChunk(chunk, config);
    return config;
}

TEST(LauncherConfig, TakesTheFiveGlobalsAndIgnoresOthers) {
    const auto config = configFrom(R"(
        CERTIFICATION_URL = "http://news.example/page.php"
        DUREDOR_FTP_ADR = "ftp.example"
        DUREDOR_FTP_USER = "user"
        DUREDOR_FTP_PASS = "p@ss:word"
        DUREDOR_FTP_PATH = "/update/" .. "gd"
        OTHER = "ignored")");
    EXPECT_EQ(config.newsPageAddress, "http://news.example/page.php");
    EXPECT_EQ(config.server.ftpAddress, "ftp.example");
    EXPECT_EQ(config.server.ftpUser, "user");
    EXPECT_EQ(config.server.ftpPassword, "p@ss:word");
    EXPECT_EQ(config.server.ftpPath, "/update/gd");
}

TEST(LauncherConfig, NumbersTakeLuasTextAndOtherTypesStayEmpty) {
    const auto config = configFrom(R"(
        DUREDOR_FTP_ADR = 21
        DUREDOR_FTP_PATH = 1.5
        DUREDOR_FTP_USER = { "table" }
        DUREDOR_FTP_PASS = true
        CERTIFICATION_URL = function() return "x" end)");
    EXPECT_EQ(config.server.ftpAddress, "21");
    EXPECT_EQ(config.server.ftpPath, "1.5");
    EXPECT_EQ(config.server.ftpUser, "");
    EXPECT_EQ(config.server.ftpPassword, "");
    EXPECT_EQ(config.newsPageAddress, "");
}

TEST(LauncherConfig, BrokenChunksKeepWhatWasAssignedBeforeTheFault) {
    const auto syntax = configFrom("DUREDOR_FTP_ADR = \"host\"\nDUREDOR_FTP_USER = ");
    EXPECT_EQ(syntax.server.ftpAddress, "");
    EXPECT_EQ(syntax.server.ftpUser, "");

    const auto runtime =
        configFrom("DUREDOR_FTP_ADR = 'host'\nerror('boom')\nDUREDOR_FTP_USER = 'never'");
    EXPECT_EQ(runtime.server.ftpAddress, "host");
    EXPECT_EQ(runtime.server.ftpUser, "");

    const auto binary = configFrom(std::string("\x1bLua\x51\x00garbage", 12));
    EXPECT_EQ(binary.server.ftpAddress, "");

    // None of them decides that the installation is unsigned.
    EXPECT_TRUE(syntax.server.unusable.starts_with("the chunk does not load: "));
    EXPECT_EQ(runtime.server.unusable,
              "the chunk stopped with an error: [string \"config.dat\"]:2: boom");
    EXPECT_TRUE(binary.server.unusable.starts_with("the chunk does not load: "));
}

// config.dat is the installation's own file: it keeps every standard
// library but the ones that could switch the limits off or load bytecode.
TEST(LauncherConfig, RunsWithTheStandardLibraries) {
    const auto config = configFrom(
        "DUREDOR_FTP_USER = type(io) .. type(os.execute) .. type(loadstring) .. type(require)"
        " .. type(string.dump) .. type(debug)");
    EXPECT_EQ(config.server.ftpUser, "tablefunctionfunctionfunctionnilnil");
}

// Reading a setting may run a metamethod of the globals table: one that
// raises keeps the settings taken before it, and never aborts the process.
TEST(LauncherConfig, GlobalsThatRaiseKeepTheSettingsTakenBefore) {
    const gdtest::ChildEnd end = gdtest::runInChild(
        [] {
            const auto config = configFrom(
                "CERTIFICATION_URL = 'http://news' DUREDOR_FTP_ADR = 'host' DUREDOR_FTP_PATH = "
                "'/p' setmetatable(_G, {__index = function(_, name) error(name) end})");
            return config.newsPageAddress == "http://news" && config.server.ftpAddress == "host" &&
                           config.server.ftpUser.empty() && config.server.ftpPath.empty()
                       ? 0
                       : 1;
        },
        std::chrono::seconds(30));
    EXPECT_TRUE(end.finished && end.signal == 0 && end.exitCode == 0) << gdtest::describe(end);
}

TEST(LauncherConfig, LoadsFromTheLauncherDirectoryAndCreatesVersionFile) {
    gdtest::TempDir temp;
    gdtest::writeEncrypted(temp.path() / "config.dat", "DUREDOR_FTP_ADR = '127.0.0.1:2121'");
    LauncherConfig config;
    gd::loadLauncherConfig(temp.dir(), config);
    EXPECT_EQ(config.server.ftpAddress, "127.0.0.1:2121");
    EXPECT_EQ(config.newsPageAddress, "");
    EXPECT_FLOAT_EQ(config.server.installedVersion, 1.0f);
    EXPECT_EQ(gdtest::readDecrypted(temp.path() / "version.dat"), "1.000000,1.000000");
}

TEST(LauncherConfig, UnusableFilesLeaveEverySettingEmpty) {
    gdtest::TempDir temp;
    LauncherConfig missing;
    gd::loadLauncherConfig(temp.dir(), missing);
    EXPECT_EQ(missing.server.ftpAddress, "");

    // Enciphered with another password: deciphers to bytes Lua rejects.
    std::string foreign = "DUREDOR_FTP_ADR = 'host'";
    gd::ScriptCipher::encrypt(foreign.data(), foreign.size(), "another-password");
    gdtest::writeFile(temp.path() / "config.dat", foreign);
    LauncherConfig other;
    gd::loadLauncherConfig(temp.dir(), other);
    EXPECT_EQ(other.server.ftpAddress, "");

    // Over the 4096-byte limit: refused even though the chunk is valid Lua.
    gdtest::writeEncrypted(temp.path() / "config.dat",
                           "DUREDOR_FTP_ADR = 'host'\n" + std::string(5000, '\n'));
    LauncherConfig oversized;
    gd::loadLauncherConfig(temp.dir(), oversized);
    EXPECT_EQ(oversized.server.ftpAddress, "");

    // Unusable rather than unsigned, but for the missing file, which names
    // no server to contact.
    EXPECT_EQ(missing.server.unusable, "");
    EXPECT_TRUE(other.server.unusable.starts_with("the chunk does not load: "));
    EXPECT_EQ(oversized.server.unusable,
              "the file is larger than the 4096 bytes the launcher reads");
}

TEST(FtpAddress, HostsPortsAndBracketedV6) {
    const auto plain = gd::parseFtpAddress("ftp.example");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->host, "ftp.example");
    EXPECT_EQ(plain->port, 21);

    const auto withPort = gd::parseFtpAddress("127.0.0.1:2121");
    ASSERT_TRUE(withPort);
    EXPECT_EQ(withPort->host, "127.0.0.1");
    EXPECT_EQ(withPort->port, 2121);

    const auto v6 = gd::parseFtpAddress("[::1]:2121");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->port, 2121);

    const auto bareV6 = gd::parseFtpAddress("fe80::1");
    ASSERT_TRUE(bareV6);
    EXPECT_EQ(bareV6->host, "fe80::1");
    EXPECT_EQ(bareV6->port, 21);

    for (const char* bad :
         {"", "host:", "host:0", "host:65536", "host:21x", "[::1", "[::1]x", ":21"})
        EXPECT_FALSE(gd::parseFtpAddress(bad)) << bad;
}

}  // namespace
