// The entry point gpsim's "module library" command looks for, and the
// registration of the bench processor as the library loads:
//   module library libchipbench.so
//   processor p18f452bench chip
#include <gpsim/modules.h>

#include "tools/chipboard/chip_adapter.h"
#include "tools/chipboard/uart_bridge.h"

namespace {

Module* makeBridge(const char* name) {
    return new chipbench::UartBridge(name);
}

Module_Types kModules[] = {
    {{"dwnfrw_uart", "dwnfrw_uart"}, makeBridge},
    {{nullptr, nullptr}, nullptr},
};

struct Registration {
    Registration() { chipbench::registerBenchProcessor(); }
} registration;

}  // namespace

extern "C" __attribute__((visibility("default"))) Module_Types* get_mod_list() {
    return kModules;
}
