#include "tools/chipboard/chip_adapter.h"

#include <gpsim/clock_phase.h>
#include <gpsim/eeprom.h>
#include <gpsim/gpsim_time.h>
#include <gpsim/pir.h>
#include <gpsim/processor.h>

#include <cmath>

#include "tools/chipfacts/pic18f452_facts.h"

namespace chipbench {

namespace cf = chipfacts;

namespace {

constexpr unsigned kEecon1Address = 0xFA6;
constexpr unsigned kPir2Eeif = 0x10;

uint64_t cyclesFor(double seconds) {
    return uint64_t(std::llround(seconds / get_cycles().seconds_per_cycle()));
}

}  // namespace

// Stands in the register file in place of EECON1: every access goes to the
// stock register, and the adapter hears of each write.
class BenchPic18F452::Eecon1Watch : public sfr_register {
  public:
    Eecon1Watch(BenchPic18F452* chip, EECON1& real)
        : sfr_register(chip, real.name().c_str(), "EECON1 (bench)"), chip_(chip), real_(real) {
        address = real.address;
    }
    unsigned int get() override { return real_.get(); }
    unsigned int get_value() override { return real_.get_value(); }
    void put(unsigned int value) override {
        const unsigned before = real_.get_value();
        chip_->eecon1Writing(true);
        real_.put(value);
        chip_->eecon1Writing(false);
        chip_->eecon1Written(before, real_.get_value());
    }
    void put_value(unsigned int value) override {
        const unsigned before = real_.get_value();
        chip_->eecon1Writing(true);
        real_.put_value(value);
        chip_->eecon1Writing(false);
        chip_->eecon1Written(before, real_.get_value());
    }
    RegisterValue getRV() override { return real_.getRV(); }
    RegisterValue getRV_notrace() override { return real_.getRV_notrace(); }
    void putRV(RegisterValue rv) override { put(rv.data); }
    void putRV_notrace(RegisterValue rv) override { put_value(rv.data); }

  private:
    BenchPic18F452* chip_;
    EECON1& real_;
};

// The CPU waiting out a flash erase or write: no instruction runs, the
// peripherals and the cycle counter go on.
class BenchPic18F452::Stall : public ProcessorPhase {
  public:
    explicit Stall(Processor* cpu) : ProcessorPhase(cpu) {}
    void begin(uint64_t until) {
        until_ = until;
        m_pcpu->mCurrentPhase->setNextPhase(this);
    }
    ClockPhase* advance() override {
        get_cycles().increment();
        if (get_cycles().get() >= until_)
            return m_pcpu->mExecute1Cycle;
        return this;
    }

  private:
    uint64_t until_ = 0;
};

BenchPic18F452::BenchPic18F452(const char* name) : P18F452(name, "PIC18F452 (bench)") {
    for (uint32_t i = 0; i < cf::kConfigBytes; ++i)
        config_[i] = cf::kConfigDefaults[i];
}

BenchPic18F452::~BenchPic18F452() {
    if (eecon1Watch_ && registers[kEecon1Address] == eecon1Watch_)
        registers[kEecon1Address] = &get_eeprom()->eecon1;
    delete eecon1Watch_;
    delete stall_;
}

Processor* BenchPic18F452::construct(const char* name) {
    auto* chip = new BenchPic18F452(name);
    chip->create();
    chip->create_invalid_registers();
    chip->create_symbols();
    return chip;
}

void BenchPic18F452::create() {
    P18F452::create();
    eecon1Watch_ = new Eecon1Watch(this, get_eeprom()->eecon1);
    registers[kEecon1Address] = eecon1Watch_;
    stall_ = new Stall(this);
}

void BenchPic18F452::reset(RESET_TYPE type) {
    if (type != POR_RESET && type != SIM_RESET)
        ++resets_;
    P18F452::reset(type);
}

unsigned int BenchPic18F452::get_device_id() {
    return unsigned(cf::kDeviceId[1]) << 8 | cf::kDeviceId[0];
}

unsigned int BenchPic18F452::get_program_memory_at_address(unsigned int address) {
    if (address >= cf::kConfigFirst && address < cf::kConfigFirst + cf::kConfigBytes) {
        const unsigned offset = (address - cf::kConfigFirst) & ~1u;
        return unsigned(config_[offset + 1]) << 8 | config_[offset];
    }
    if ((address & ~1u) == cf::kDeviceIdAddress)
        return get_device_id();
    return P18F452::get_program_memory_at_address(address);
}

bool BenchPic18F452::writeProtected(uint32_t address) const {
    for (const cf::ProtectedBlock& block : cf::kWriteProtection) {
        if (address >= block.first && address < block.end)
            return (config_[block.configOffset] & block.bit) == 0;
    }
    return false;
}

void BenchPic18F452::init_program_memory(unsigned int address, unsigned int value) {
    // Loading an image (ours or gpsim's own "load") writes the words as given.
    if (!inFlashOperation_) {
        Processor::init_program_memory(address, value);
        return;
    }
    ++flashWords_;
    // The stock simulator erases to 0 and writes the latches over the cells.
    // On the chip an erase leaves 0xFF and a write can only clear bits.
    const bool erase = (get_eeprom()->eecon1.value.get() & EECON1::FREE) != 0;
    if (address < cf::kProgramBytes) {
        if (writeProtected(address)) {
            ++protectedWrites_;
            return;
        }
        const unsigned old = P18F452::get_program_memory_at_address(address);
        const unsigned word = erase ? 0xFFFF : (old & value & 0xFFFF);
        if (word != old)
            Processor::init_program_memory(address, word);
        return;
    }
    if (address >= cf::kUserIdFirst && address < cf::kUserIdFirst + cf::kUserIdBytes) {
        unsigned& word = idloc[(address - cf::kUserIdFirst) / 2];
        word = erase ? 0xFFFF : (word & value & 0xFFFF);
        return;
    }
    // Past the user ID there is nothing; configuration is not written by a
    // firmware on this bench (the stock simulator would write it word-wise).
}

void BenchPic18F452::eecon1Written(unsigned int before, unsigned int after) {
    const bool started = !(before & EECON1::WR) && (after & EECON1::WR);
    if (!started)
        return;
    if (after & EECON1::EEPGD) {
        // The stock simulator has done the flash operation already and
        // leaves WR set for ever; the chip clears it and sets EEIF once the
        // operation ends, and stalls meanwhile.
        EECON1& eecon1 = get_eeprom()->eecon1;
        eecon1.value.put(eecon1.value.get() & ~EECON1::WR);
        pir2->put(pir2->get() | kPir2Eeif);
        stall_->begin(get_cycles().get() + cyclesFor(cf::kFlashWriteSeconds));
        return;
    }
    // A data EEPROM write: the stock simulator ends it after a few dozen
    // cycles; the chip takes milliseconds.
    EEPROM* eeprom = get_eeprom();
    get_cycles().clear_break(eeprom);
    get_cycles().set_break(get_cycles().get() + cyclesFor(cf::kEepromWriteSeconds), eeprom);
}

uint8_t BenchPic18F452::programByte(uint32_t address) {
    const unsigned word = P18F452::get_program_memory_at_address(address & ~1u);
    return uint8_t((address & 1) ? word >> 8 : word);
}

void BenchPic18F452::setProgramWord(uint32_t address, uint16_t word) {
    if (P18F452::get_program_memory_at_address(address & ~1u) != word)
        init_program_memory_at_index(address / 2, word);
}

uint8_t BenchPic18F452::userIdByte(int offset) {
    const unsigned word = idloc[offset / 2];
    return uint8_t((offset & 1) ? word >> 8 : word);
}

void BenchPic18F452::setUserIdByte(int offset, uint8_t value) {
    unsigned& word = idloc[offset / 2];
    word = (offset & 1) ? ((word & 0x00FF) | (unsigned(value) << 8)) : ((word & 0xFF00) | value);
}

uint8_t BenchPic18F452::configByte(int offset) {
    return config_[size_t(offset)];
}

// The configuration is the adapter's: the stock simulator ignores the
// configuration bytes of an image (its watchdog stays on) and reads some of
// them back wrong. Each word is handed on so the simulator's own parts (the
// watchdog, the oscillator) follow it.
void BenchPic18F452::setConfigByte(int offset, uint8_t value) {
    config_[size_t(offset)] = value;
    applyConfigWord(offset & ~1);
}

void BenchPic18F452::applyConfigWord(int offset) {
    const unsigned word = unsigned(config_[size_t(offset) + 1]) << 8 | config_[size_t(offset)];
    set_config_word(cf::kConfigFirst + unsigned(offset), word);
}

uint8_t BenchPic18F452::eepromByte(int offset) {
    return uint8_t(get_eeprom()->get_rom()[offset]->get_value());
}

void BenchPic18F452::setEepromByte(int offset, uint8_t value) {
    get_eeprom()->change_rom(unsigned(offset), value);
}

void registerBenchProcessor() {
    static ProcessorConstructor* registered = new ProcessorConstructor(
        BenchPic18F452::construct, BenchPic18F452::kTypeName, "pic18f452bench", "18f452bench");
    (void)registered;
}

}  // namespace chipbench
