#include "tools/chipboard/chip_adapter.h"

#include <gpsim/eeprom.h>
#include <gpsim/processor.h>

namespace chipbench {

BenchPic18F452::BenchPic18F452(const char* name) : P18F452(name, "PIC18F452 (bench)") {}

Processor* BenchPic18F452::construct(const char* name) {
    auto* chip = new BenchPic18F452(name);
    chip->create();
    chip->create_invalid_registers();
    chip->create_symbols();
    return chip;
}

void BenchPic18F452::create() {
    P18F452::create();
}

unsigned int BenchPic18F452::get_device_id() {
    return 0;
}

uint8_t BenchPic18F452::programByte(uint32_t address) {
    const unsigned word = get_program_memory_at_address(address & ~1u);
    return uint8_t((address & 1) ? word >> 8 : word);
}

void BenchPic18F452::setProgramWord(uint32_t address, uint16_t word) {
    if (get_program_memory_at_address(address & ~1u) != word)
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
    const unsigned word = get_config_word(0x300000u + unsigned(offset & ~1));
    return uint8_t((offset & 1) ? word >> 8 : word);
}

void BenchPic18F452::setConfigByte(int offset, uint8_t value) {
    const unsigned address = 0x300000u + unsigned(offset & ~1);
    unsigned word = get_config_word(address);
    word = (offset & 1) ? ((word & 0x00FF) | (unsigned(value) << 8)) : ((word & 0xFF00) | value);
    set_config_word(address, word);
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
