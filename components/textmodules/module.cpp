// A language text module: one class, "<stem>.resource", that answers texts by
// number. The table comes from a readable source table (textgen).
#include <strings.h>
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "startup/text_module_abi.h"

namespace {

struct TextEntry {
    int32_t number;
    const char* text;
};

#include DWNFRW_TEXT_TABLE

constexpr const char* kNoString = "NOSTRING";

const char* getString(TextObject*, int32_t* number) {
    if (number == nullptr)
        return kNoString;
    const auto* end = kTexts + sizeof kTexts / sizeof kTexts[0];
    const auto* found = std::lower_bound(
        kTexts, end, *number, [](const TextEntry& e, int32_t n) { return e.number < n; });
    return found != end && found->number == *number ? found->text : kNoString;
}

const char* version(TextObject*) {
    return DWNFRW_TEXT_VERSION;
}

void release(TextObject* self) {
    delete self;
}

const TextObjectMethods kMethods = {DWNFRW_TEXT_ABI_VERSION, getString, version, release};

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t DllRegisterServer(void) {
    // Nothing to record on this platform: the module is found by its file name.
    return 0;
}

extern "C" __attribute__((visibility("default"))) TextObject* CreateClassObject(
    const char* className) {
    if (className == nullptr || strcasecmp(className, DWNFRW_TEXT_CLASS) != 0)
        return nullptr;
    return new TextObject{&kMethods};
}
