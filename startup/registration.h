// Registration of a component library: runs its own DllRegisterServer on a
// thread of its own and waits a bounded time for it.
#pragma once

#include <QString>

namespace dwnfrw {

inline constexpr int kRegistrationTimeLimitMs = 10000;

// True when the library's DllRegisterServer ran to its end within the limit
// (its own result is not examined). A registration that overruns is left to
// finish on its own, with its library loaded.
bool RegisterComponent(const QString& libraryPath);

// Tests shorten the limit; 0 or less restores the standard ten seconds.
void setRegistrationTimeLimitForTests(int milliseconds);

}  // namespace dwnfrw
