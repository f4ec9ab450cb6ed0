#include "tools/chipboard/chip_bench.h"

#include <unistd.h>

#include <cstdio>

#include <gpsim/gpsim_interface.h>
#include <gpsim/gpsim_time.h>
#include <gpsim/interface.h>
#include <gpsim/sim_context.h>

#include "tools/chipboard/chip_adapter.h"
#include "tools/chipboard/uart_bridge.h"
#include "tools/chipfacts/pic18f452_facts.h"

namespace chipbench {

namespace {
namespace cf = chipfacts;
constexpr uint32_t kProgramBytes = cf::kProgramBytes;
constexpr uint32_t kUserIdBase = cf::kUserIdFirst;
constexpr int kUserIdBytes = int(cf::kUserIdBytes);
constexpr uint32_t kConfigBase = cf::kConfigFirst;
constexpr int kConfigBytes = int(cf::kConfigBytes);
constexpr int kEepromBytes = int(cf::kEepromBytes);
constexpr off_t kMostChatterBytes = 1 << 20;
}  // namespace

ChipBench::ChipBench(ChipOptions options) : options_(options) {}

ChipBench::~ChipBench() = default;  // the link goes before the simulator's objects

bool ChipBench::create(QString* error) {
    initialize_gpsim_core();
    initialization_is_complete();
    registerBenchProcessor();
    Processor* cpu =
        CSimulationContext::GetContext()->add_processor(BenchPic18F452::kTypeName, "chip");
    chip_ = dynamic_cast<BenchPic18F452*>(cpu);
    if (!chip_) {
        if (error)
            *error = QStringLiteral("gpsim could not create the processor %1")
                         .arg(QLatin1String(BenchPic18F452::kTypeName));
        return false;
    }
    chip_->set_frequency(options_.clockHz);
    bridge_ = new UartBridge("uart");
    std::string why;
    if (!bridge_->wireTo(chip_, &why)) {
        if (error)
            *error = QString::fromStdString(why);
        return false;
    }
    return true;
}

void ChipBench::loadMemory(const vboard::PicMemory& memory) {
    const QByteArray program = memory.peek(0, int(kProgramBytes));
    for (uint32_t a = 0; a < kProgramBytes; a += 2)
        chip_->setProgramWord(
            a, uint16_t(uint8_t(program[int(a)]) | uint8_t(program[int(a) + 1]) << 8));
    const QByteArray userId = memory.peek(kUserIdBase, kUserIdBytes);
    for (int i = 0; i < kUserIdBytes; ++i)
        chip_->setUserIdByte(i, uint8_t(userId[i]));
    const QByteArray config = memory.peek(kConfigBase, kConfigBytes);
    for (int i = 0; i < kConfigBytes; ++i)
        chip_->setConfigByte(i, uint8_t(config[i]));
    const QByteArray eeprom = memory.peek(vboard::kEepromHexBase, kEepromBytes);
    for (int i = 0; i < kEepromBytes; ++i)
        chip_->setEepromByte(i, uint8_t(eeprom[i]));
    chip_->reset(POR_RESET);
}

void ChipBench::readMemory(vboard::PicMemory& memory) {
    QByteArray program(int(kProgramBytes), '\0');
    for (uint32_t a = 0; a < kProgramBytes; ++a)
        program[int(a)] = char(chip_->programByte(a));
    memory.load(0, program);
    QByteArray userId(kUserIdBytes, '\0');
    for (int i = 0; i < kUserIdBytes; ++i)
        userId[i] = char(chip_->userIdByte(i));
    memory.load(kUserIdBase, userId);
    QByteArray config(kConfigBytes, '\0');
    for (int i = 0; i < kConfigBytes; ++i)
        config[i] = char(chip_->configByte(i));
    memory.load(kConfigBase, config);
    QByteArray eeprom(kEepromBytes, '\0');
    for (int i = 0; i < kEepromBytes; ++i)
        eeprom[i] = char(chip_->eepromByte(i));
    memory.load(vboard::kEepromHexBase, eeprom);
}

void ChipBench::serve(int master, const char* devicePath, int stopFd, LineFilter* filter) {
    link_ = std::make_unique<PtyLink>(*bridge_, master, devicePath, stopFd, options_.link, filter);
}

LinkCounters ChipBench::linkCounters() const {
    return link_ ? link_->counters() : LinkCounters{};
}

RunEnd ChipBench::run() {
    PtyLink& link = *link_;
    link.start();
    RunEnd end = RunEnd::Halted;
    for (;;) {
        const uint64_t resetsBefore = chip_->resets();
        get_interface().start_simulation();
        if (link.stopRequested()) {
            end = RunEnd::Stopped;
            break;
        }
        // gpsim stops at a reset of the chip; the chip itself runs on.
        if (chip_->resets() == resetsBefore)
            break;
        trimChatter();
    }
    return end;
}

void ChipBench::trimChatter() {
    if (options_.chatterFd < 0)
        return;
    std::fflush(stdout);
    if (::lseek(options_.chatterFd, 0, SEEK_END) > kMostChatterBytes) {
        if (::ftruncate(options_.chatterFd, 0) == 0)
            ::lseek(options_.chatterFd, 0, SEEK_SET);
    }
}

uint64_t ChipBench::cycles() const {
    return get_cycles().get();
}

uint32_t ChipBench::programCounter() const {
    return chip_ ? chip_->pc->get_value() : 0;
}

uint64_t ChipBench::resets() const {
    return chip_ ? chip_->resets() : 0;
}

uint64_t ChipBench::protectedWrites() const {
    return chip_ ? chip_->protectedWrites() : 0;
}

uint64_t ChipBench::framingErrors() const {
    return bridge_ ? bridge_->framingErrors() : 0;
}

}  // namespace chipbench
