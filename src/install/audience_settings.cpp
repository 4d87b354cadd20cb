#include "install/audience_settings.h"

#include <QCryptographicHash>
#include <QSettings>

#include <filesystem>
#include <random>

namespace gd {

namespace {

constexpr auto kNumberValue = "Number";
constexpr auto kChannelValue = "Channel";
constexpr auto kFolderValue = "Folder";

// The folder as the launcher sees it from its own executable: absolute,
// links resolved, with a trailing '/'; gdtool's argument may be a relative
// or linked path to the same folder.
std::string folderKeyText(const std::string& launcherDir) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::canonical(launcherDir, error);
    if (error) folder = std::filesystem::absolute(launcherDir, error).lexically_normal();
    std::string text = folder.string();
    if (!text.ends_with('/')) text += '/';
    return text;
}

// One group per folder. A folder's name may hold anything, QSettings' key
// separators included, so the group is named by its digest and the folder
// is kept beside, for a person reading the file.
class InstallationGroup {
  public:
    explicit InstallationGroup(const std::string& launcherDir)
        : settings_(QSettings::NativeFormat, QSettings::UserScope, "GrooveDeck", "installations"),
          folder_(folderKeyText(launcherDir)) {
        settings_.setFallbacksEnabled(false);
        const QByteArray digest = QCryptographicHash::hash(QByteArray::fromStdString(folder_),
                                                           QCryptographicHash::Sha256);
        settings_.beginGroup(QString::fromLatin1(digest.toHex().left(32)));
    }
    QVariant value(const char* name) const { return settings_.value(QString::fromLatin1(name)); }
    bool store(const char* name, const QVariant& value) {
        settings_.setValue(QString::fromLatin1(kFolderValue), QString::fromStdString(folder_));
        if (value.isValid()) {
            settings_.setValue(QString::fromLatin1(name), value);
        } else {
            settings_.remove(QString::fromLatin1(name));
        }
        settings_.sync();
        return settings_.status() == QSettings::NoError;
    }
    std::string fileName() const { return settings_.fileName().toStdString(); }

  private:
    QSettings settings_;
    std::string folder_;
};

std::optional<int> storedNumber(const QVariant& value) {
    bool isNumber = false;
    const int number = value.toInt(&isNumber);
    if (!isNumber || number < 0 || number > 99) return std::nullopt;
    return number;
}

}  // namespace

std::optional<int> installationNumber(const std::string& launcherDir) {
    InstallationGroup group(launcherDir);
    if (const auto kept = storedNumber(group.value(kNumberValue))) return kept;
    std::random_device entropy;
    const int drawn = std::uniform_int_distribution<int>(0, 99)(entropy);
    if (!group.store(kNumberValue, drawn)) return std::nullopt;
    return drawn;
}

std::string installationChannel(const std::string& launcherDir) {
    return InstallationGroup(launcherDir).value(kChannelValue).toString().toStdString();
}

bool setInstallationChannel(const std::string& launcherDir, const std::string& channel) {
    InstallationGroup group(launcherDir);
    return group.store(kChannelValue,
                       channel.empty() ? QVariant() : QVariant(QString::fromStdString(channel)));
}

std::string audienceSettingsFile() {
    return InstallationGroup("/").fileName();
}

}  // namespace gd
