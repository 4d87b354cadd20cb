// What the embedded browser engine needs before its module loads.
#pragma once

namespace gd {

// Keeps Chromium from calling any host of its own accord (updates, safe
// browsing, metrics) and its start-up report off the terminal; its sandbox
// cannot run as root, so it is switched off
// then, and only then. The engine draws through a GL context that all
// contexts share: made here, after the application object, so that a start
// that never shows the news page never pays for it. Before the application
// object exists only the attribute is set, and the application makes the
// context. Safe to call more than once.
void prepareBrowserEngine();

}  // namespace gd
