// Settings the embedded browser engine needs before the application object
// exists.
#pragma once

namespace gd {

// Shares GL contexts as the engine requires and keeps Chromium from calling
// any host of its own accord (updates, safe browsing, metrics). Its sandbox
// cannot run as root, so it is switched off then, and only then.
void prepareBrowserEngine();

}  // namespace gd
