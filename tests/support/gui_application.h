// The one QApplication of a GUI test process, made on first use with the
// embedded browser prepared the way the launcher prepares it.
#pragma once

class QApplication;

namespace gdtest {

// Uses the offscreen platform unless QT_QPA_PLATFORM says otherwise.
QApplication& guiApplication();

}  // namespace gdtest
