// The PIC device profile: memory ranges and block sizes of the erase and write
// passes, from PICCFG.INI (with "/D") or the built-in values.
#pragma once

#include <QString>
#include <cstdint>

namespace dwnfrw {

struct PicProfile {
    int32_t pmrangelow = 0;
    int32_t pmrangehigh = 0;
    int32_t eerangelow = 0;
    int32_t eerangehigh = 0;
    int32_t usrrangelow = 0;
    int32_t usrrangehigh = 0;
    int32_t cfgrangelow = 0;
    int32_t cfgrangehigh = 0;
    uint8_t eraseblock = 0;
    uint8_t writeblock = 0;
    uint8_t bytesperaddr = 0;
    uint8_t readblock = 0;
    uint8_t maxpacketsize = 0;
    uint8_t devicetype = 0;
};

// The values that apply without "/D".
PicProfile builtInPicProfile();

// Path of the profile file: "PICCFG.INI" in LogsFolder.
QString picProfilePath();

// Writes the default PICCFG.INI (section "PIC18F452") unless the file exists.
void WriteDefaultProfile();

// The value of key in section of PICCFG.INI (at most 19 characters; empty when absent).
QString ReadProfileValue(const QString& section, const QString& key);

// Fills profile from the file when UseProfileFile is set, else from the
// built-in values. False with message set when a byte value is out of range.
bool LoadPicProfile(PicProfile& profile, QString& message);

// Judges the keys the erase and write passes use before anything reaches the
// board: with "/D" each must stand in the file as a number; the used ranges must
// not run backwards; the erase step, write block and bytes per address must not
// be 0. The text names the key and the profile file. Keys loaded only are not
// judged.
bool CheckPicProfile(const PicProfile& profile, QString& message);

}  // namespace dwnfrw
