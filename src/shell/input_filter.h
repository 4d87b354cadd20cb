// Right-button presses and double-clicks never reach any window of the
// launcher, the news page included: there is no context menu anywhere.
#pragma once

#include <QObject>

namespace gd {

class RightButtonFilter : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace gd
