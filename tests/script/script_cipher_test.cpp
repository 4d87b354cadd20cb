#include "script/script_cipher.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string fromHex(const QString& hex) {
    return QByteArray::fromHex(hex.toLatin1()).toStdString();
}

// Cipher texts made by the reference CryptoAPI implementation: existing
// config.dat, filelist.dat and update.dat files depend on these bytes.
TEST(ScriptCipher, ReproducesReferenceCipherTexts) {
    QFile file(GD_TEST_DATA_DIR "/cipher-vectors.json");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonArray vectors = QJsonDocument::fromJson(file.readAll()).array();
    ASSERT_GE(vectors.size(), 4);

    for (const auto& value : vectors) {
        const QJsonObject vector = value.toObject();
        const std::string password = vector["password"].toString().toStdString();
        const std::string plain = fromHex(vector["plain_hex"].toString());
        const std::string expected = fromHex(vector["cipher_hex"].toString());

        std::string buffer = plain;
        gd::ScriptCipher::encrypt(buffer.data(), buffer.size(), password);
        EXPECT_EQ(buffer, expected) << "password " << password;

        gd::ScriptCipher::decrypt(buffer.data(), buffer.size(), password);
        EXPECT_EQ(buffer, plain);
    }
}

TEST(ScriptCipher, EveryBufferStartsAFreshKeyStream) {
    const std::string plain = "latest_version = 1.2\n";
    std::string first = plain, second = plain;
    gd::ScriptCipher::encrypt(first.data(), first.size());
    gd::ScriptCipher::encrypt(second.data(), second.size());
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.size(), plain.size());
    EXPECT_NE(first, plain);

    // Deciphering is the same transformation, so the two directions swap.
    std::string swapped = plain;
    gd::ScriptCipher::decrypt(swapped.data(), swapped.size());
    EXPECT_EQ(swapped, first);
}

TEST(ScriptCipher, AnotherPasswordGivesOtherBytes) {
    std::string buffer = "DUREDOR_FTP_ADR = \"host\"";
    gd::ScriptCipher::encrypt(buffer.data(), buffer.size(), "another-password");
    gd::ScriptCipher::decrypt(buffer.data(), buffer.size());
    EXPECT_NE(buffer, "DUREDOR_FTP_ADR = \"host\"");
}

}  // namespace
