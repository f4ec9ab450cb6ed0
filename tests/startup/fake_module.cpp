// Text modules with faults, for the fallback tests: built from a small table,
// optionally without DllRegisterServer, with one that never returns in time, or
// with slow start-up code.
#include <strings.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include "startup/text_module_abi.h"

namespace {

struct TextEntry {
    int32_t number;
    const char* text;
};

#include DWNFRW_TEXT_TABLE

const char* getString(TextObject*, int32_t* number) {
    const auto* end = kTexts + sizeof kTexts / sizeof kTexts[0];
    const auto* found =
        std::find_if(kTexts, end, [&](const TextEntry& e) { return e.number == *number; });
    return found != end ? found->text : "NOSTRING";
}

const char* version(TextObject*) {
    return "test";
}
void release(TextObject* self) {
    delete self;
}
const TextObjectMethods kMethods = {DWNFRW_TEXT_ABI_VERSION, getString, version, release};

#ifdef FAKE_START_MS
// Start-up code that takes its time, run when the library loads.
[[maybe_unused]] const bool kSlowStart = [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(FAKE_START_MS));
    return true;
}();
#endif

}  // namespace

#ifndef FAKE_NO_REGISTER
extern "C" __attribute__((visibility("default"))) int32_t DllRegisterServer(void) {
#ifdef FAKE_HANG_MS
    std::this_thread::sleep_for(std::chrono::milliseconds(FAKE_HANG_MS));
#endif
#ifdef FAKE_REGISTER_FAILS
    return -1;
#else
    return 0;
#endif
}
#endif

extern "C" __attribute__((visibility("default"))) TextObject* CreateClassObject(
    const char* className) {
    if (className == nullptr || strcasecmp(className, DWNFRW_TEXT_CLASS) != 0)
        return nullptr;
    return new TextObject{&kMethods};
}
