// Judging one file's signature as the launcher does: against the publisher
// keys that the installation pins, the name by which the file was requested
// and the local clock. The bytes may come from any source (FTP, another
// mirror, a local file); nothing here fetches anything.
#pragma once

#include "trust/content_digest.h"
#include "trust/content_hash.h"
#include "trust/public_key.h"
#include "trust/signature_file.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gd {

// The version list: its signature must carry expires=, so that an old list
// replayed cannot hold an installation back for longer than that.
inline constexpr std::string_view kVersionListName = "filelist.dat";

enum class SignatureFault {
    None,
    Missing,        // no signature file could be had
    Oversized,      // the signature file is larger than kSignatureFileLimit
    Malformed,      // not a minisign signature file
    UnknownKey,     // made with a key that is not pinned
    ForgedComment,  // the trusted comment does not match the global signature
    WrongFile,      // file= names another file, or there is no file=
    NoExpiry,       // a required expires= is missing, or an expires= is no time
    Expired,        // expires= has passed
    Tampered,       // the content is not what was signed
    Unreadable,     // the content could not be read, or not as a whole
    OtherFolder,    // folder= binds it to other update folders than the installation's
    NotPinned,      // signed, but not the content that the signed list pins
};

struct SignatureVerdict {
    SignatureFault fault = SignatureFault::None;
    std::string detail;  // the words after "refused: "
    bool accepted() const { return fault == SignatureFault::None; }
};

struct SignatureExpectations {
    std::string fileName;  // what file= must say
    bool requireExpiry = false;
    std::int64_t now = 0;  // Unix seconds
    // The installation's update folder (boundFolder): a signature that
    // names folders with folder= must name this one. Unset: any folder.
    std::optional<std::string> folder = std::nullopt;
    // What the signed version list pins the content to: the content must
    // have this digest as well as the signature, so that a file signed with
    // the same key for another product or server cannot stand in for it.
    std::optional<ContentDigest> digest = std::nullopt;
};

// What the launcher expects of the signature of a file it requested as
// `requestedName`: file= its last path component (after the last '/'), and
// expires= when that is the version list. Any expires= given is enforced.
SignatureExpectations expectationsFor(std::string_view requestedName, std::int64_t now);
// The same for an installation whose update folder is `ftpPath`
// (DUREDOR_FTP_PATH), and the digest that the signed list pins, if any.
SignatureExpectations expectationsFor(std::string_view requestedName, std::int64_t now,
                                      std::string_view ftpPath,
                                      std::optional<ContentDigest> pinned);
// The name of the signature file beside `requestedName`.
std::string signatureNameFor(std::string_view requestedName);

// Two steps: the signature file as soon as it is there (format, key,
// trusted comment; a bad one costs no download), then the content. A
// refusal at either step is final.
class SignatureCheck {
  public:
    SignatureCheck(std::span<const PublicKey> keys, SignatureExpectations expectations);

    // `text`: the whole signature file, or at least its first
    // kSignatureFileLimit + 1 bytes; nullopt when none could be had.
    bool judgeSignatureFile(std::optional<std::string_view> text);
    // After an accepted signature file: the signed content, in memory or in a file.
    bool judgeContent(std::string_view bytes);
    bool judgeFile(const std::filesystem::path& path);
    // The content's BLAKE2b-512 instead, for a signature that signs the hash
    // (see signsHash); one that signs the content itself is refused.
    bool judgeHash(const ContentHash& hash);
    // Whether the accepted signature file signs the content's hash, so that
    // judgeHash can judge it.
    bool signsHash() const;
    // Refuses the content for a reason of the caller's (it could not be had whole).
    bool refuseContent(std::string detail);

    const SignatureVerdict& verdict() const { return verdict_; }
    // "signature of NAME refused: WHY"; empty while nothing was refused.
    std::string refusal() const;
    // The accepted signature file and the key that made it (null before).
    const SignatureFile* signatureFile() const { return file_ ? &*file_ : nullptr; }
    const PublicKey* signer() const { return signer_ ? &*signer_ : nullptr; }

  private:
    bool refuse(SignatureFault fault, std::string detail);
    bool judgeTrustedComment();
    bool judgeFolder(const std::vector<std::string>& folders);
    bool judgeSignedBytes(std::string_view bytes);
    // After the signature held: the content's hash against the pin.
    bool judgePin(const ContentHash& hash);
    bool judgePin(std::string_view bytes);
    bool ready() const;

    std::vector<PublicKey> keys_;
    SignatureExpectations expectations_;
    std::optional<SignatureFile> file_;
    std::optional<PublicKey> signer_;
    SignatureVerdict verdict_;
};

}  // namespace gd
