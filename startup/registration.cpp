#include "startup/registration.h"

#include <chrono>
#include <condition_variable>
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
    bool abandoned = false;  // the waiting thread gave up
    std::unique_ptr<SharedLibrary> registered;
};

// Runs on the registration thread: the load (and with it the library's own
// start-up code) and the entry point both fall under the waiting thread's limit.
void registerLibrary(const std::shared_ptr<RegistrationRun>& run, const QString& libraryPath) {
    auto library = std::make_unique<SharedLibrary>();
    bool registered = false;
    if (library->open(libraryPath)) {
        auto entry = reinterpret_cast<DllRegisterServerFn>(library->resolve(DWNFRW_TEXT_REGISTER));
        if (entry != nullptr) {
            entry();
            registered = true;
        }
    }
    std::lock_guard<std::mutex> lock(run->mutex);
    if (run->abandoned) {
        // Code it started may still run: the library stays loaded for good.
        library->leak();
    } else if (registered) {
        run->registered = std::move(library);
    }
    run->finished = true;
    run->done.notify_all();
}

}  // namespace

void setRegistrationTimeLimitForTests(int milliseconds) {
    g_timeLimitMs = milliseconds > 0 ? milliseconds : kRegistrationTimeLimitMs;
}

bool RegisterComponent(const QString& libraryPath, std::unique_ptr<SharedLibrary>* loaded) {
    auto run = std::make_shared<RegistrationRun>();
    try {
        std::thread(registerLibrary, run, libraryPath).detach();
    } catch (const std::system_error&) {
        return false;
    }

    std::unique_lock<std::mutex> lock(run->mutex);
    if (!run->done.wait_for(lock, std::chrono::milliseconds(g_timeLimitMs),
                            [&run] { return run->finished; })) {
        run->abandoned = true;
        return false;
    }
    if (!run->registered)
        return false;
    if (loaded != nullptr)
        *loaded = std::move(run->registered);
    return true;
}

}  // namespace dwnfrw
