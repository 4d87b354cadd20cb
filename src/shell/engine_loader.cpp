#include "shell/engine_module.h"

#include "install/install_paths.h"

#include <dlfcn.h>

#include <cstdio>

#include <string>

namespace gd {

namespace {

const EngineModuleApi* loadEngineModule() {
    const std::string dir = launcherDirOf(runningExecutablePath());
    if (dir.empty()) return nullptr;
    // Stays loaded for the rest of the process, as the libraries it brings.
    void* handle = ::dlopen((dir + kEngineModuleFile).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        // The launcher then runs offline; a broken installation should say why
        // somewhere a person can find it.
        std::fprintf(stderr, "GrooveDeck: no update engine, running offline: %s\n", ::dlerror());
        return nullptr;
    }
    using Entry = const EngineModuleApi* (*)();
    const auto entry = reinterpret_cast<Entry>(::dlsym(handle, kEngineModuleEntry));
    const EngineModuleApi* api = entry != nullptr ? entry() : nullptr;
    return api != nullptr && api->version == kEngineModuleVersion ? api : nullptr;
}

}  // namespace

const EngineModuleApi* engineModule() {
    // A local static is made once, whichever thread comes first.
    static const EngineModuleApi* const api = loadEngineModule();
    return api;
}

}  // namespace gd
