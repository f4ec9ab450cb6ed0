// The one place that decides which commands are enabled in each phase of the
// main window. Orders matter where the window switches tools one by one.
#pragma once

#include "startup/frontend.h"

namespace dwnfrw {

// Window opened: open, esci, comport, Tool6, menus on; info, stop, dwn off.
void applyWindowOpened(ToolbarControl& toolbar);
// The reset of the package opening: dwn, then info off.
void applyNoPackage(ToolbarControl& toolbar);
// Package accepted: dwn on, info on.
void applyPackageAccepted(ToolbarControl& toolbar);
// Run starts: stop, open, esci, dwn, info off, then Tool6, Tool7, Tool8 off;
// then stop on, comport off.
void applyRunStarts(ToolbarControl& toolbar);
// Run ends (success or failure): stop off; open, esci, dwn, comport, Tool6,
// Tool7, Tool8 on; info stays off.
void applyRunEnds(ToolbarControl& toolbar);

}  // namespace dwnfrw
