// The boundary between the launcher and its news module, libgdnews.so. The
// module carries the browser engine, which is large to load: the launcher
// loads it only when it is online and the news page is wanted, so an offline
// start never pays for it.
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QWidget;

namespace gd {

inline constexpr int kNewsModuleVersion = 2;
inline constexpr const char* kNewsModuleFile = "libgdnews.so";
inline constexpr const char* kNewsModuleEntry = "gdNewsModuleApi";

// Told when a load of the page has ended: `loaded`, or why not in plain words.
using NewsLoadHandler = std::function<void(bool loaded, const QString& why)>;

struct NewsModuleApi {
    int version;  // kNewsModuleVersion of the module's build
    // A browser filling `host`, owned by it until destroyBrowser; the end of
    // each load of its page goes to `onLoadEnd` until then.
    QWidget* (*createBrowser)(QWidget* host, NewsLoadHandler onLoadEnd);
    // Loads `address` (as it is, escapes included) with one POST of `body`.
    void (*postRequest)(QWidget* browser, const QByteArray& address, const QByteArray& body);
    // Destroys the browser, also while it is loading.
    void (*destroyBrowser)(QWidget* browser);
};

}  // namespace gd

extern "C" const gd::NewsModuleApi* gdNewsModuleApi();
