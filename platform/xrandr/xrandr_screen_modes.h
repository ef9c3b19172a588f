// The display-settings service on the X server's RandR extension: the mode
// of the screen's output (the primary one, else the first connected one),
// the modes that output offers, and switching it to one of them.
//
// Units: widths and heights in pixels, refresh rates in Hz rounded to the
// nearest whole one (0 when the mode's timings give none, as for a virtual
// server's own mode). Bits per pixel are those of the screen's depth (24 and
// 30 give 32, 15 and 16 give 16); X cannot change the depth of a running
// screen, so every mode carries the same value and Change ignores the field.
//
// Threads: every call comes from the user-interface thread. The object has
// an X connection of its own, so it never shares Xlib state with the GUI's.
//
// Errors: a change the server refuses (no such mode, a size beyond the
// screen's maximum, a mode the output cannot show, a stale configuration)
// makes Change return false; X errors on the object's connection are caught
// while it talks to the server and never reach the program's error handler.
// Current returns an empty mode and Enumerate false when the server gives no
// output to read. Nothing throws.
//
// Ownership: the object owns its X connection and closes it on destruction.
// Before closing, if it changed the screen's mode and the screen does not
// show the mode it had before the first change, it puts that mode back (the
// desktop never stays in a fullscreen mode after a playback that ended by an
// error).
#pragma once

#include <memory>
#include <string>

#include "platform/screen_modes.h"

namespace dioptrix {

// Connects to the X server named by DISPLAY. Null, with the reason in words
// for the user in *why, when no server can be reached or it has no RandR 1.2.
std::unique_ptr<ScreenModes> MakeXRandRScreenModes(std::string* why = nullptr);

}  // namespace dioptrix
