// What the publisher keeps of a server's update directory on their own
// machine, outside it: the trees of its releases, and the record of what the
// publisher's commands published there (every file with its digest, and the
// keys that the newest release's config.dat trusts). Whoever can write the
// update directory cannot write this, so the next command can tell the
// directory as it was published from one edited behind the publisher's back,
// signed or not.
#pragma once

#include "trust/content_digest.h"
#include "trust/public_key.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace gd::publish {

struct PublishedRecord {
    // Keys that installations trust after the newest release; empty: they
    // are unsigned.
    std::vector<gd::PublicKey> keys;
    // The update folders (DUREDOR_FTP_PATH) whose installations the list is
    // signed for (see list_binding.h); empty: any.
    std::vector<std::string> folders;
    std::map<std::string, gd::ContentDigest> files;  // name in the update directory -> digest
};

class PublisherData {
  public:
    // The data folder of the update directory `live` (as resolved):
    // $XDG_DATA_HOME/groovedeck-publisher/NAME-HASH, where NAME is the
    // directory's name and HASH is taken from its path; made (mode 0700)
    // when missing. nullopt with `error` when there is no such place.
    static std::optional<PublisherData> open(const std::filesystem::path& live, std::string& error);

    const std::filesystem::path& folder() const { return folder_; }
    // Where the trees of releases are kept unless the publisher says otherwise.
    std::filesystem::path trees() const { return folder_ / "trees"; }
    std::filesystem::path recordFile() const { return folder_ / "published.txt"; }
    std::filesystem::path pendingFile() const { return folder_ / "published.pending"; }

    // The record; nullopt when nothing was recorded yet. A record that does
    // not parse is a refusal (`error`), never an empty one.
    std::optional<PublishedRecord> record(std::string& error) const;
    // The record of a command that was about to publish: written before the
    // update directory changes and made the record once it did, so that a
    // command killed in between leaves a directory that one of the two
    // records describes.
    std::optional<PublishedRecord> pending(std::string& error) const;
    bool writePending(const PublishedRecord& record, std::string& error) const;
    // The pending record becomes the record.
    bool settle(std::string& error) const;
    // Replaces the record in one step (and drops a pending one).
    bool writeRecord(const PublishedRecord& record, std::string& error) const;

  private:
    PublisherData(std::filesystem::path live, std::filesystem::path folder)
        : live_(std::move(live)), folder_(std::move(folder)) {}
    std::filesystem::path live_;
    std::filesystem::path folder_;
};

// The record's text, and back (nullopt when a line does not parse).
std::string publishedRecordText(const PublishedRecord& record, const std::filesystem::path& live);
std::optional<PublishedRecord> parsePublishedRecord(std::string_view text);

// One line per recorded file that `dir` no longer holds as recorded:
// "NAME is missing" or "NAME changed".
std::vector<std::string> recordDifferences(const PublishedRecord& record,
                                           const std::filesystem::path& dir);

// The record of the files `names` as `dir` holds them now; a name that is
// not a file there is left out.
std::map<std::string, gd::ContentDigest> digestsOf(const std::filesystem::path& dir,
                                                   const std::vector<std::string>& names);

}  // namespace gd::publish
