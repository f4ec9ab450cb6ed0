#include "tools/vboard/pic_memory.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace vboard {

const DeviceLayout& pic18f452Layout() {
    namespace cf = chipfacts;
    static const DeviceLayout layout{
        {
            {"program", 0x000000, cf::kProgramBytes - 1, RegionKind::Flash, cf::kEraseRowBytes},
            // The user ID erases as a whole, like a row of its own.
            {"userid", cf::kUserIdFirst, cf::kUserIdFirst + cf::kUserIdWindowBytes - 1,
             RegionKind::Flash, cf::kUserIdWindowBytes},
            {"config", cf::kConfigFirst, cf::kConfigFirst + cf::kConfigWindowBytes - 1,
             RegionKind::Config, 0},
            {"deviceid", cf::kDeviceIdAddress, cf::kDeviceIdAddress + 1, RegionKind::ReadOnly, 0},
        },
        cf::kEepromBytes,
        cf::kBootBlockEnd,
        cf::kWriteBlockBytes,
        std::vector<uint8_t>(std::begin(cf::kConfigDefaults), std::end(cf::kConfigDefaults)),
        std::vector<uint8_t>(std::begin(cf::kDeviceId), std::end(cf::kDeviceId)),
    };
    return layout;
}

std::vector<FirmwareArea> firmwareAreas(const DeviceLayout& layout) {
    std::vector<FirmwareArea> areas;
    for (const RegionSpec& region : layout.regions) {
        if (region.kind != RegionKind::Flash)
            continue;
        // The boot block holds the bootloader, never a firmware.
        const uint32_t first = std::max(region.first, layout.bootBlockEnd);
        if (first <= region.last)
            areas.push_back({first, int(region.last - first + 1)});
    }
    areas.push_back({kEepromHexBase, int(layout.eepromBytes)});
    return areas;
}

uint8_t previousFirmwareByte(uint32_t address) {
    // Mixes the address so neighbouring rows and lines differ; never all 0xFF.
    const uint32_t mixed = (address * 2654435761u) >> 13;
    return uint8_t((mixed ^ address) & 0x7F);
}

namespace {

QByteArray startBytes(uint32_t first, uint32_t size, StartContents contents) {
    QByteArray bytes(int(size), char(0xFF));
    if (contents == StartContents::PreviousFirmware) {
        for (uint32_t i = 0; i < size; ++i)
            bytes[int(i)] = char(previousFirmwareByte(first + i));
    }
    return bytes;
}

}  // namespace

PicMemory::PicMemory(const DeviceLayout& layout, StartContents contents) : layout_(layout) {
    for (const RegionSpec& spec : layout_.regions) {
        const StartContents start =
            spec.kind == RegionKind::Flash ? contents : StartContents::Blank;
        Region region{spec, startBytes(spec.first, spec.last - spec.first + 1, start)};
        const std::vector<uint8_t>* initial =
            spec.kind == RegionKind::Config     ? &layout_.initialConfig
            : spec.kind == RegionKind::ReadOnly ? &layout_.deviceId
                                                : nullptr;
        if (initial != nullptr) {
            for (int i = 0; i < region.bytes.size() && i < int(initial->size()); ++i)
                region.bytes[i] = char((*initial)[i]);
        }
        regions_.push_back(region);
    }
    eeprom_ = startBytes(kEepromHexBase, layout_.eepromBytes, contents);
}

const PicMemory::Region* PicMemory::regionOf(uint32_t address, int count) const {
    if (count < 0)
        return nullptr;
    const uint64_t end = uint64_t(address) + uint64_t(count);  // one past the last byte
    for (const Region& region : regions_) {
        if (address >= region.spec.first && end <= uint64_t(region.spec.last) + 1)
            return &region;
    }
    return nullptr;
}

PicMemory::Region* PicMemory::regionOf(uint32_t address, int count) {
    return const_cast<Region*>(std::as_const(*this).regionOf(address, count));
}

MemoryResult PicMemory::readProgram(uint32_t address, int count, QByteArray& out) const {
    const Region* region = regionOf(address, count);
    if (region == nullptr)
        return MemoryResult::Refused;
    out = region->bytes.mid(int(address - region->spec.first), count);
    return MemoryResult::Ok;
}

MemoryResult PicMemory::writeProgram(uint32_t address, const QByteArray& data) {
    Region* region = regionOf(address, int(data.size()));
    if (region == nullptr || region->spec.kind != RegionKind::Flash)
        return MemoryResult::Refused;
    // Flash is written in whole write blocks.
    if (address % layout_.writeBlockBytes != 0 || data.size() % layout_.writeBlockBytes != 0)
        return MemoryResult::Misaligned;
    if (address < layout_.bootBlockEnd && region->spec.first < layout_.bootBlockEnd)
        ++bootBlockFaults_;
    for (int i = 0; i < data.size(); ++i) {
        const uint32_t cell = address + uint32_t(i);
        // The boot block is write-protected: the write is taken and nothing changes.
        if (cell < layout_.bootBlockEnd)
            continue;
        char& byte = region->bytes[int(cell - region->spec.first)];
        byte = char(uint8_t(byte) & uint8_t(data[i]));
    }
    return MemoryResult::Ok;
}

MemoryResult PicMemory::eraseRow(uint32_t address) {
    Region* region = regionOf(address, 1);
    if (region == nullptr || region->spec.kind != RegionKind::Flash || region->spec.eraseBytes == 0)
        return MemoryResult::Refused;
    // The device erases the whole row that holds the address.
    const uint32_t offset = address - region->spec.first;
    const uint32_t rowStart =
        region->spec.first + offset / region->spec.eraseBytes * region->spec.eraseBytes;
    if (rowStart < layout_.bootBlockEnd && region->spec.first < layout_.bootBlockEnd)
        ++bootBlockFaults_;
    for (uint32_t cell = rowStart;
         cell < rowStart + region->spec.eraseBytes && cell <= region->spec.last; ++cell) {
        if (cell < layout_.bootBlockEnd)
            continue;
        region->bytes[int(cell - region->spec.first)] = char(0xFF);
    }
    return MemoryResult::Ok;
}

MemoryResult PicMemory::readEeprom(uint32_t address, int count, QByteArray& out) const {
    if (count < 0 || uint64_t(address) + uint64_t(count) > uint64_t(eeprom_.size()))
        return MemoryResult::Refused;
    out = eeprom_.mid(int(address), count);
    return MemoryResult::Ok;
}

MemoryResult PicMemory::writeEeprom(uint32_t address, const QByteArray& data) {
    if (uint64_t(address) + uint64_t(data.size()) > uint64_t(eeprom_.size()))
        return MemoryResult::Refused;
    // EEPROM cells take the written byte whatever they held.
    eeprom_.replace(int(address), int(data.size()), data);
    return MemoryResult::Ok;
}

bool PicMemory::load(uint32_t address, const QByteArray& data) {
    if (address >= kEepromHexBase) {
        const uint32_t offset = address - kEepromHexBase;
        if (uint64_t(offset) + uint64_t(data.size()) > uint64_t(eeprom_.size()))
            return false;
        eeprom_.replace(int(offset), int(data.size()), data);
        return true;
    }
    Region* region = regionOf(address, int(data.size()));
    if (region == nullptr)
        return false;
    region->bytes.replace(int(address - region->spec.first), int(data.size()), data);
    return true;
}

QByteArray PicMemory::peek(uint32_t address, int count) const {
    QByteArray out;
    if (address >= kEepromHexBase) {
        readEeprom(address - kEepromHexBase, count, out);
        return out;
    }
    readProgram(address, count, out);
    return out;
}

std::vector<PicMemory::Area> PicMemory::areas() const {
    std::vector<Area> result;
    for (const Region& region : regions_)
        result.push_back({region.spec.first, &region.bytes});
    result.push_back({kEepromHexBase, &eeprom_});
    return result;
}

}  // namespace vboard
