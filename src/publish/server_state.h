// The update directory as a publisher's command finds it, before it changes
// anything: read, and proved to be what the publisher published. Whoever can
// write the directory (FTP upload rights, a mirror host, a careless
// colleague) must not get their files built upon or signed by the
// publisher's next routine command.
#pragma once

#include "publish/publish_failure.h"
#include "publish/publisher_data.h"
#include "publish/release_record.h"
#include "publish/server_publication.h"

#include "script/version_rules.h"
#include "trust/public_key.h"

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace gd::publish {

struct ServerState {
    std::vector<Release> releases;  // releases.txt
    std::string list;               // filelist.dat deciphered; empty when there is none
    gd::VersionRules rules;         // its rules
    bool signedList = false;        // filelist.dat.minisig is there
    // The key that made the list's signature, once it verified.
    std::optional<gd::PublicKey> listSigner;
    std::optional<PublishedRecord> published;  // the publisher's record, when one is kept
};

// Reads the state of the update directory `live` and proves it, refusing
// (BadInput, every file at fault named) when:
// - the publisher's record (from `data`, when given) names a file that is
//   missing or changed;
// - releases.txt does not parse, or filelist.dat is not what it makes;
// - filelist.dat is signed and its signature does not verify under `keys`
//   (its expiry aside: an expired list is what resign is for);
// - an archive the list names differs from the digest the list pins.
std::optional<ServerState> readServerState(const std::filesystem::path& live,
                                           const PublisherData* data,
                                           std::span<const gd::PublicKey> keys, Failure& failure);

// The keys to prove the live list by when `signer` is to sign it anew
// without a release: those that the publisher's record says installations
// trust after the newest release, which must include `signer`; without a
// record, `signer` alone (the list must be signed by it already). nullopt
// with `failure` when `signer` is not trusted.
std::optional<std::vector<gd::PublicKey>> keysForSigning(const PublisherData* data,
                                                         const gd::PublicKey& signer,
                                                         Failure& failure);

// Makes the staged tree of `publication` the update directory, with the
// publisher's record of it (when `data`): `record`'s keys and the digest of
// every file of `releases` and `rules`, written as pending first, so that a
// command killed at any moment leaves a directory that a record describes.
bool commitRecorded(ServerPublication& publication, const PublisherData* data,
                    PublishedRecord record, const std::vector<Release>& releases,
                    const gd::VersionRules& rules, std::string& error);

// Every file the publisher's commands keep in the update directory for
// `releases` and `rules`: the record, its tree listing, the list, every
// archive and every signature file of these that is there.
std::vector<std::string> publishedNames(const std::vector<Release>& releases,
                                        const gd::VersionRules& rules,
                                        const std::filesystem::path& dir);

// The archives the list names: each release's and bridge's of `releases`,
// then the delta archives of `rules`.
std::vector<std::string> listedArchives(const std::vector<Release>& releases,
                                        const gd::VersionRules& rules);

}  // namespace gd::publish
