#include "trust/signature_check.h"

#include "trust/content_hash.h"
#include "trust/crypto_library.h"
#include "trust/trusted_comment.h"
#include "util/mapped_file.h"

#include <sodium.h>

#include <ctime>

namespace gd {
namespace {

bool signatureMatches(const Signature& signature, std::string_view bytes, const PublicKey& key) {
    return crypto_sign_verify_detached(signature.data(),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size(), key.key.data()) == 0;
}

std::string utcText(std::int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    char text[64] = "?";
    if (::gmtime_r(&time, &utc) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

// Names go to the FTP server as they stand, where only '/' separates: a
// CP932 name may hold the byte of a backslash inside a character.
std::string_view lastComponent(std::string_view name) {
    const auto separator = name.find_last_of('/');
    return separator == std::string_view::npos ? name : name.substr(separator + 1);
}

}  // namespace

SignatureExpectations expectationsFor(std::string_view requestedName, std::int64_t now) {
    const std::string_view name = lastComponent(requestedName);
    return {std::string(name), name == kVersionListName, now};
}

SignatureExpectations expectationsFor(std::string_view requestedName, std::int64_t now,
                                      std::string_view ftpPath,
                                      std::optional<ContentDigest> pinned) {
    SignatureExpectations expectations = expectationsFor(requestedName, now);
    expectations.folder = boundFolder(ftpPath);
    expectations.digest = pinned;
    return expectations;
}

std::string signatureNameFor(std::string_view requestedName) {
    return std::string(requestedName) + std::string(kSignatureSuffix);
}

SignatureCheck::SignatureCheck(std::span<const PublicKey> keys, SignatureExpectations expectations)
    : keys_(keys.begin(), keys.end()), expectations_(std::move(expectations)) {}

bool SignatureCheck::refuse(SignatureFault fault, std::string detail) {
    verdict_ = {fault, std::move(detail)};
    return false;
}

std::string SignatureCheck::refusal() const {
    if (verdict_.accepted()) return {};
    return "signature of " + expectations_.fileName + " refused: " + verdict_.detail;
}

bool SignatureCheck::judgeSignatureFile(std::optional<std::string_view> text) {
    const std::string signatureName = signatureNameFor(expectations_.fileName);
    if (!text) return refuse(SignatureFault::Missing, "there is no " + signatureName);
    if (text->size() > kSignatureFileLimit) {
        return refuse(
            SignatureFault::Oversized,
            signatureName + " is larger than " + std::to_string(kSignatureFileLimit) + " bytes");
    }
    if (!cryptoReady()) return refuse(SignatureFault::Malformed, "libsodium cannot be used");
    file_ = parseSignatureFile(*text);
    if (!file_)
        return refuse(SignatureFault::Malformed, signatureName + " is no minisign signature");
    for (const PublicKey& key : keys_) {
        if (key.id == file_->keyId &&
            signatureMatches(file_->globalSignature, globallySignedBytes(*file_), key)) {
            signer_ = key;
            break;
        }
    }
    if (!signer_) {
        for (const PublicKey& key : keys_) {
            if (key.id == file_->keyId) {
                return refuse(SignatureFault::ForgedComment,
                              "its trusted comment does not match its signature");
            }
        }
        return refuse(SignatureFault::UnknownKey, "made with key " + keyIdText(file_->keyId) +
                                                      ", which this installation does not trust");
    }
    return judgeTrustedComment();
}

bool SignatureCheck::judgeTrustedComment() {
    const TrustedComment comment = readTrustedComment(file_->trustedComment);
    if (comment.repeated) {
        return refuse(SignatureFault::WrongFile,
                      "its trusted comment names file= or expires= more than once");
    }
    if (!comment.file) return refuse(SignatureFault::WrongFile, "its trusted comment has no file=");
    if (*comment.file != expectations_.fileName) {
        return refuse(SignatureFault::WrongFile,
                      "it signs file=" + *comment.file + ", not " + expectations_.fileName);
    }
    if (comment.unreadableFolder) {
        return refuse(SignatureFault::OtherFolder,
                      "its trusted comment names a folder= that cannot be read");
    }
    if (!judgeFolder(comment.folders)) return false;
    if (!comment.expires) {
        if (!expectations_.requireExpiry) return true;
        return refuse(SignatureFault::NoExpiry, "its trusted comment has no expires=");
    }
    const auto expires = parseUnixTime(*comment.expires);
    if (!expires) {
        return refuse(SignatureFault::NoExpiry, "expires=" + *comment.expires + " is no time");
    }
    if (expectations_.now > *expires) {
        return refuse(SignatureFault::Expired,
                      "it expired at " + utcText(*expires) + " (expires=" + *comment.expires + ")");
    }
    return true;
}

bool SignatureCheck::judgeFolder(const std::vector<std::string>& folders) {
    if (!expectations_.folder || folders.empty()) return true;
    std::string named;
    for (const std::string& folder : folders) {
        if (folder == *expectations_.folder) return true;
        named += (named.empty() ? "" : ", ") + folder;
    }
    return refuse(SignatureFault::OtherFolder,
                  "it is signed for the update folder " + named + ", not for this installation's " +
                      *expectations_.folder + " (the list of another product or channel)");
}

bool SignatureCheck::ready() const {
    return verdict_.accepted() && file_ && signer_;
}

bool SignatureCheck::judgeSignedBytes(std::string_view bytes) {
    if (signatureMatches(file_->signature, bytes, *signer_)) return true;
    return refuse(SignatureFault::Tampered,
                  expectations_.fileName + " is not the file that was signed (damaged or altered)");
}

bool SignatureCheck::judgePin(const ContentHash& hash) {
    if (!expectations_.digest) return true;
    const ContentDigest digest = digestOf(hash);
    if (digest == *expectations_.digest) return true;
    return refuse(SignatureFault::NotPinned,
                  expectations_.fileName + " is signed but is not the " + expectations_.fileName +
                      " that " + std::string(kVersionListName) + " pins (its digest is " +
                      digestText(digest) + ", the list pins " + digestText(*expectations_.digest) +
                      "): signed, but for another product, server or release");
}

bool SignatureCheck::judgePin(std::string_view bytes) {
    if (!expectations_.digest) return true;
    const auto hash = hashContent(bytes);
    if (!hash) return refuseContent("its content cannot be hashed");
    return judgePin(*hash);
}

bool SignatureCheck::signsHash() const {
    return ready() && file_->algorithm == SignatureAlgorithm::Prehashed;
}

bool SignatureCheck::judgeHash(const ContentHash& hash) {
    if (!ready()) return false;
    if (!signsHash()) return refuseContent("its signature needs the whole content, not its hash");
    return judgeSignedBytes(
               std::string_view(reinterpret_cast<const char*>(hash.data()), hash.size())) &&
           judgePin(hash);
}

bool SignatureCheck::judgeContent(std::string_view bytes) {
    if (!ready()) return false;
    if (file_->algorithm == SignatureAlgorithm::Legacy)
        return judgeSignedBytes(bytes) && judgePin(bytes);
    const auto hash = hashContent(bytes);
    if (!hash) return refuseContent("its content cannot be hashed");
    return judgeHash(*hash);
}

bool SignatureCheck::judgeFile(const std::filesystem::path& path) {
    if (!ready()) return false;
    if (file_->algorithm == SignatureAlgorithm::Legacy) {
        // The legacy algorithm signs the file itself, which the check needs in one piece.
        const MappedFile mapped(path);
        if (!mapped.ok()) return refuseContent(path.string() + " cannot be read");
        return judgeSignedBytes(mapped.bytes()) && judgePin(mapped.bytes());
    }
    const auto hash = hashFile(path);
    if (!hash) return refuseContent(path.string() + " cannot be read");
    return judgeHash(*hash);
}

bool SignatureCheck::refuseContent(std::string detail) {
    return refuse(SignatureFault::Unreadable, std::move(detail));
}

}  // namespace gd
