#include "startup/registration.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "startup/shared_library.h"
#include "startup/text_module_abi.h"

namespace dwnfrw {

namespace {

int g_timeLimitMs = kRegistrationTimeLimitMs;

// Shared between the waiting thread and the registration thread, so an
// overrunning registration never touches freed state.
struct RegistrationRun {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

}  // namespace

void setRegistrationTimeLimitForTests(int milliseconds) {
    g_timeLimitMs = milliseconds > 0 ? milliseconds : kRegistrationTimeLimitMs;
}

bool RegisterComponent(const QString& libraryPath) {
    SharedLibrary library;
    if (!library.open(libraryPath))
        return false;

    auto entry = reinterpret_cast<DllRegisterServerFn>(library.resolve(DWNFRW_TEXT_REGISTER));
    if (entry == nullptr)
        return false;

    auto run = std::make_shared<RegistrationRun>();
    try {
        std::thread worker([run, entry] {
            entry();
            std::lock_guard<std::mutex> lock(run->mutex);
            run->finished = true;
            run->done.notify_all();
        });
        worker.detach();
    } catch (const std::system_error&) {
        return false;
    }

    std::unique_lock<std::mutex> lock(run->mutex);
    const bool finished = run->done.wait_for(lock, std::chrono::milliseconds(g_timeLimitMs),
                                             [&run] { return run->finished; });
    if (!finished) {
        // The entry point may still run: its library must stay loaded.
        library.leak();
        return false;
    }
    return true;
}

}  // namespace dwnfrw
