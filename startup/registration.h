// Registration of a component library: loads it and runs its own
// DllRegisterServer on a thread of its own, and waits a bounded time for both.
#pragma once

#include <QString>
#include <memory>

namespace dwnfrw {

class SharedLibrary;

inline constexpr int kRegistrationTimeLimitMs = 10000;

// True when the library loaded and its DllRegisterServer ran to its end within
// the limit (its own result is not examined). The limit covers the library's
// start-up code too, as the load happens on the registration thread. On
// success the loaded library is handed to `loaded` when given, so the caller
// uses this one load; otherwise it is released. A registration that overruns
// is left to finish on its own, with its library loaded.
bool RegisterComponent(const QString& libraryPath,
                       std::unique_ptr<SharedLibrary>* loaded = nullptr);

// Tests shorten the limit; 0 or less restores the standard ten seconds.
void setRegistrationTimeLimitForTests(int milliseconds);

}  // namespace dwnfrw
