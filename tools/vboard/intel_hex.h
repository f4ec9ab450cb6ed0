// Intel HEX for the board's memory: its initial contents and its dump.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "tools/vboard/pic_memory.h"

namespace vboard {

// One record: count, address, type, data and checksum, then lineEnd.
QByteArray intelHexRecord(uint8_t type, uint16_t address, const QByteArray& data,
                          const char* lineEnd = "\r\n");

// Loads every data record of text into memory (records of types 00, 01, 02 and
// 04; others are skipped). False with *error naming the line on a bad record
// or an address the board does not have.
bool loadIntelHex(const QByteArray& text, PicMemory& memory, QString* error);

// The whole memory, 16 bytes a record, lines ended by LF.
QByteArray dumpIntelHex(const PicMemory& memory);

}  // namespace vboard
