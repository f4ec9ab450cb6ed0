// The entry point gpsim's "module library" command looks for, and the
// registration of the bench processor as the library loads. From gpsim's own
// command line:
//   module library libchipbench.so
//   processor p18f452bench chip
//   load firmware.hex
//   module load dwnfrw_uart uart     (prints the terminal it serves)
//   run
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gpsim/modules.h>
#include <gpsim/processor.h>

#include <cstdio>

#include "tools/chipboard/chip_adapter.h"
#include "tools/chipboard/pty_link.h"
#include "tools/chipboard/uart_bridge.h"

namespace {

// A bridge made from gpsim's command line wires itself to the processor of
// the moment and serves its own pseudo-terminal, paced to the wall clock.
Module* makeBridge(const char* name) {
    auto* bridge = new chipbench::UartBridge(name);
    std::string error;
    if (!bridge->wireTo(get_active_cpu(), &error)) {
        std::fprintf(stderr, "%s: %s (create the processor first)\n", name, error.c_str());
        return bridge;
    }
    termios raw{};
    cfmakeraw(&raw);
    int master = -1;
    int slave = -1;
    char path[256] = {};
    if (::openpty(&master, &slave, path, &raw, nullptr) != 0) {
        std::perror("openpty");
        return bridge;
    }
    ::close(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    // Lives as long as gpsim does.
    auto* link = new chipbench::PtyLink(*bridge, master, path, -1, chipbench::LinkOptions{1.0});
    link->start();
    std::printf("%s serves %s\n", name, path);
    return bridge;
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
