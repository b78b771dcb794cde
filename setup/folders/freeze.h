// The redraw lock of the folder list: Form() locks redrawing of the list
// while one folder level is filled; releasing the object unlocks it again
// (whichever level releases first unlocks, as the platform lock does).
#pragma once

#include "setup/window/form_state.h"

namespace korvane::setup {

class Freeze {
public:
  Freeze() = default;
  Freeze(const Freeze&) = delete;
  Freeze& operator=(const Freeze&) = delete;
  ~Freeze() {
    if (hooks_) hooks_->lockListRedraw(false);
  }
  void Form(WindowHooks* hooks) {
    hooks_ = hooks;
    if (hooks_) hooks_->lockListRedraw(true);
  }

private:
  WindowHooks* hooks_ = nullptr;
};

} // namespace korvane::setup
