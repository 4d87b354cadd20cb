// The news page as it was last drawn, kept in the user's cache folder so
// that the next start shows it in the news area at once, until the page
// itself has loaded: starting the browser engine takes many times as long as
// putting the window on the screen. It is a picture only: nothing in it can
// be clicked or run. One is kept per news address; a page that cannot be
// loaded takes its picture with it.
#pragma once

#include <QPixmap>

#include <string_view>

namespace gd {

// The picture kept for `newsAddress`; null when none is kept or it cannot be
// read.
QPixmap loadNewsPicture(std::string_view newsAddress);

// Keeps `picture` for `newsAddress`, replacing the one kept before. A cache:
// not synced, and a torn file only costs the picture.
void keepNewsPicture(std::string_view newsAddress, const QPixmap& picture);

void forgetNewsPicture(std::string_view newsAddress);

}  // namespace gd
