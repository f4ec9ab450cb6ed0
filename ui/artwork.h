// The window's built-in pictures, drawn in code so that they stay sharp at any
// scale and need no image files next to the program.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace dwnfrw {

// The built-in brand logo, filling `size` (logical pixels).
QPixmap builtInLogo(const QSize& size);

// The icon of a toolbar command ("open", "info", "stop", "dwn", "esci"); a
// null icon for any other key.
QIcon toolIcon(const QString& key);

// The mark of a port list entry whose port is a device present now.
QIcon presentPortIcon();

}  // namespace dwnfrw
