#include "startup/command_states.h"

namespace dwnfrw {

void applyWindowOpened(ToolbarControl& toolbar) {
    for (const char* key : {"open", "esci", "comport", "Tool6", "Tool7", "Tool8"}) {
        toolbar.setToolEnabled(QString::fromLatin1(key), true);
    }
    for (const char* key : {"info", "stop", "dwn"}) {
        toolbar.setToolEnabled(QString::fromLatin1(key), false);
    }
}

void applyNoPackage(ToolbarControl& toolbar) {
    toolbar.setToolEnabled(QStringLiteral("dwn"), false);
    toolbar.setToolEnabled(QStringLiteral("info"), false);
}

void applyPackageAccepted(ToolbarControl& toolbar) {
    toolbar.setToolEnabled(QStringLiteral("dwn"), true);
    toolbar.setToolEnabled(QStringLiteral("info"), true);
}

void applyRunStarts(ToolbarControl& toolbar) {
    for (const char* key : {"stop", "open", "esci", "dwn", "info", "Tool6", "Tool7", "Tool8"}) {
        toolbar.setToolEnabled(QString::fromLatin1(key), false);
    }
    toolbar.setToolEnabled(QStringLiteral("stop"), true);
    toolbar.setToolEnabled(QStringLiteral("comport"), false);
}

void applyRunEnds(ToolbarControl& toolbar) {
    toolbar.setToolEnabled(QStringLiteral("stop"), false);
    for (const char* key : {"open", "esci", "dwn", "comport", "Tool6", "Tool7", "Tool8"}) {
        toolbar.setToolEnabled(QString::fromLatin1(key), true);
    }
}

}  // namespace dwnfrw
