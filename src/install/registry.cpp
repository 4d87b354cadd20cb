#include "install/registry.h"

#include <QFileInfo>
#include <QSettings>

namespace gd {

namespace {

constexpr auto kOrganisation = "GrooveDeck";

QSettings::Scope qtScope(RegistryScope scope) {
    return scope == RegistryScope::System ? QSettings::SystemScope : QSettings::UserScope;
}

// The user scope must not fall back to the system key: each scope is read
// on its own.
class RegistryKey {
  public:
    explicit RegistryKey(RegistryScope scope)
        : settings_(QSettings::NativeFormat, qtScope(scope), kOrganisation) {
        settings_.setFallbacksEnabled(false);
    }
    QSettings& settings() { return settings_; }

  private:
    QSettings settings_;
};

}  // namespace

bool registryKeyExists(RegistryScope scope) {
    RegistryKey key(scope);
#if defined(Q_OS_WIN)
    return !key.settings().allKeys().isEmpty();
#else
    const QFileInfo file(key.settings().fileName());
    return file.isFile() && file.isReadable();
#endif
}

std::optional<std::string> readRegistryValue(RegistryScope scope, const char* name) {
    RegistryKey key(scope);
    const QVariant value = key.settings().value(QString::fromLatin1(name));
    if (!value.isValid()) return std::nullopt;
    // A byte array value (@ByteArray in the file) is taken byte for byte, so
    // that values in another encoding survive.
    if (value.typeId() == QMetaType::QByteArray) return value.toByteArray().toStdString();
    return value.toString().toStdString();
}

bool writeRegistryValue(RegistryScope scope, const char* name, const std::string& value) {
    RegistryKey key(scope);
    key.settings().setValue(QString::fromLatin1(name), QString::fromStdString(value));
    key.settings().sync();
    return key.settings().status() == QSettings::NoError;
}

std::string readAccountId() {
    return readRegistryValue(RegistryScope::User, "AccountId").value_or(std::string{});
}

}  // namespace gd
