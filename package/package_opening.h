// The "open" command: choose a package, unpack and validate it, prepare the
// bootloader settings and split the HEX image into region files.
#pragma once

#include <QString>

#include "package/package_session.h"
#include "startup/frontend.h"

namespace dwnfrw {

// Runs the whole command; reports everything to the person itself.
bool OpenFile(PackageSession& session, Frontend& frontend);

// The characters after the last path separator; empty when there is none.
QString ExtractFileName(const QString& PathFileIn);

}  // namespace dwnfrw
