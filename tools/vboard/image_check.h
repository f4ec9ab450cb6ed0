// Compares the board's memory with an Intel HEX image: every byte the image
// gives that the updater writes (program memory above the boot block, EEPROM,
// user ID) must stand in the board.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

namespace vboard {

struct ImageCheck {
    bool equal = false;
    int bytesChecked = 0;
    int bytesSkipped = 0;  // boot block and configuration: never written by an update
    int mismatches = 0;
    QString report;  // one line, or the first mismatches with their addresses
};

// read(address, length) gives the board's bytes (program space; EEPROM at F00000).
ImageCheck checkImage(const QByteArray& hexText,
                      const std::function<QByteArray(uint32_t, int)>& read);

}  // namespace vboard
