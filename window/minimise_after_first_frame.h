#pragma once

class QWindow;

// Asks the window system to minimise `window` once its first frame has been handed over.
// A Wayland compositor ignores a minimise asked for before the surface has content, and the
// protocol never reports the state back, so a window meant to start minimised would stay up.
void minimise_after_first_frame(QWindow* window);
