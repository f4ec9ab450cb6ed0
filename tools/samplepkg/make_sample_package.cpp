// Builds the sample firmware package from our own sources: the board's demo
// application (a real build, reporting the package's version) padded with a
// deterministic pattern above it, EEPROM and user-ID data, an info.txt with
// Italian texts, packed with the package password.
//
//   make_sample_package OUTPUT_DIR APP_HEX FW_VER [PROGRAM_BYTES NAME]
// writes OUTPUT_DIR/NAME.fwz and, for comparison after an update,
// OUTPUT_DIR/NAME.hex (NAME "sample", 4 KiB of program memory by default).
// APP_HEX is the application's Intel HEX image (program memory from 000200
// up); FW_VER the version info.txt gives, e.g. 4.1.7.
#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr const char* kPackagePassword = "K7302Q";
constexpr uint32_t kProgramStart = 0x000200;  // the boot block below stays untouched
constexpr uint32_t kDefaultProgramBytes = 4096;
constexpr uint32_t kProgramEnd = 0x008000;
constexpr uint32_t kEepromBytes = 64;
constexpr uint32_t kUserIdBytes = 8;

std::string hexByte(unsigned value) {
    static const char* digits = "0123456789ABCDEF";
    return {digits[(value >> 4) & 0xF], digits[value & 0xF]};
}

std::string record(uint16_t address, uint8_t type, const std::vector<uint8_t>& data) {
    unsigned sum = data.size() + (address >> 8) + (address & 0xFF) + type;
    std::string line = ":" + hexByte(data.size()) + hexByte(address >> 8) +
                       hexByte(address & 0xFF) + hexByte(type);
    for (uint8_t b : data) {
        line += hexByte(b);
        sum += b;
    }
    return line + hexByte((0x100 - (sum & 0xFF)) & 0xFF) + "\r\n";
}

std::string extendedAddress(uint16_t upper) {
    return record(0, 0x04, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
}

// Sixteen bytes a record, starting at a 64 KiB page's offset.
void appendData(std::string& hex, uint32_t address, const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); i += 16) {
        const size_t n = std::min<size_t>(16, bytes.size() - i);
        hex += record(static_cast<uint16_t>((address + i) & 0xFFFF), 0x00,
                      std::vector<uint8_t>(bytes.begin() + i, bytes.begin() + i + n));
    }
}

// The application's bytes by address, from its Intel HEX image; false with
// the reason in error for anything but data, extended-address and end records,
// and for data outside program memory above the boot block.
bool readApplication(const std::string& path, std::map<uint32_t, uint8_t>& bytes,
                     std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    uint32_t upper = 0;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        const std::string where = path + " line " + std::to_string(number);
        if (line.find_first_not_of("0123456789ABCDEFabcdef", 1) != std::string::npos) {
            error = where + ": not an Intel HEX record";
            return false;
        }
        std::vector<uint8_t> raw;
        for (size_t i = 1; i + 1 < line.size(); i += 2)
            raw.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
        unsigned sum = 0;
        for (uint8_t b : raw)
            sum += b;
        if (line[0] != ':' || line.size() % 2 == 0 || raw.size() < 5 || raw.size() != raw[0] + 5u ||
            (sum & 0xFF) != 0) {
            error = where + ": not an Intel HEX record";
            return false;
        }
        const uint32_t offset = raw[1] << 8 | raw[2];
        const std::vector<uint8_t> data(raw.begin() + 4, raw.end() - 1);
        if (raw[3] == 0x01)
            return true;
        if (raw[3] == 0x04 && data.size() == 2) {
            upper = uint32_t(data[0] << 8 | data[1]) << 16;
            continue;
        }
        if (raw[3] != 0x00) {
            error = where + ": a record of type " + std::to_string(raw[3]) +
                    " has no place in the application";
            return false;
        }
        const uint32_t address = upper + offset;
        if (address < kProgramStart || address + data.size() > kProgramEnd) {
            char text[16];
            std::snprintf(text, sizeof text, "%06X", address);
            error = where + ": application bytes at " + text +
                    " lie outside program memory above the boot block";
            return false;
        }
        for (size_t i = 0; i < data.size(); ++i)
            bytes[address + i] = data[i];
    }
    error = path + ": no end record";
    return false;
}

std::string sampleHex(uint32_t programBytes, const std::map<uint32_t, uint8_t>& application) {
    std::string hex;
    // The application, then the pattern as its data up to the image's end;
    // the gaps between the application's sections are never executed.
    std::vector<uint8_t> program(programBytes);
    for (uint32_t i = 0; i < programBytes; ++i) {
        const uint32_t a = kProgramStart + i;
        const auto own = application.find(a);
        program[i] = own != application.end()
                         ? own->second
                         : static_cast<uint8_t>((a * 7 + (a >> 8) * 13) & 0xFF);
    }
    hex += extendedAddress(0x0000);
    appendData(hex, kProgramStart, program);

    const std::string idText = "DWNFRW01";
    hex += extendedAddress(0x0020);
    appendData(hex, 0x200000, std::vector<uint8_t>(idText.begin(), idText.begin() + kUserIdBytes));

    // Configuration bytes are part of an image but never written to the board.
    hex += extendedAddress(0x0030);
    appendData(
        hex, 0x300000,
        {0x00, 0x22, 0x0F, 0x0E, 0x00, 0x01, 0x81, 0x00, 0x0F, 0xC0, 0x0F, 0xE0, 0x0F, 0x40});

    std::string eeprom = "Impostazioni di prova della scheda - demo dwnfrw.";
    eeprom.resize(kEepromBytes, '\0');
    hex += extendedAddress(0x00F0);
    appendData(hex, 0xF00000, std::vector<uint8_t>(eeprom.begin(), eeprom.end()));

    hex += ":00000001FF\r\n";
    return hex;
}

// info.txt in the packages' code page (Windows-1252): "è" is 0xE8.
std::string sampleInfo(const std::string& hexName, const std::string& version) {
    const std::string e = "\xE8";
    return "Descrizione del pacchetto di prova\r\n"
           "{" +
           hexName +
           "}\r\n"
           "[NOME]\r\n"
           "Scheda controllo - firmware di prova\r\n"
           "[ARTICOLO1]\r\n"
           "Q1234A\r\n"
           "[ARTICOLO2]\r\n"
           "Q1234B\r\n"
           "[FW_VER]\r\n" +
           version +
           "\r\n"
           "[FUNZIONI]\r\n"
           "Applicazione dimostrativa della scheda: risponde all'identificazione.\r\n"
           "Memoria programma, EEPROM e ID utente.\r\n"
           "[BUG_FIX]\r\n"
           "Nessuna correzione: " +
           e +
           " un esempio.\r\n"
           "[NOTE]\r\n"
           "Generato dalla build, senza file binari nel repository.\r\n"
           "[TIPO]\r\n"
           "Firmware\r\n"
           "{END}\r\n";
}

bool addMember(zip_t* archive, const char* name, const std::string& text) {
    void* copy = malloc(text.size());
    if (copy == nullptr)
        return false;
    std::copy(text.begin(), text.end(), static_cast<char*>(copy));
    zip_source_t* source = zip_source_buffer(archive, copy, text.size(), 1);
    if (source == nullptr) {
        free(copy);
        return false;
    }
    const zip_int64_t index = zip_file_add(archive, name, source, ZIP_FL_OVERWRITE);
    if (index < 0) {
        zip_source_free(source);
        return false;
    }
    return zip_file_set_encryption(archive, index, ZIP_EM_AES_256, kPackagePassword) == 0;
}

bool writeFile(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        std::fprintf(stderr,
                     "usage: make_sample_package OUTPUT_DIR APP_HEX FW_VER [PROGRAM_BYTES NAME]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const std::string version = argv[3];
    uint32_t programBytes = kDefaultProgramBytes;
    std::string name = "sample";
    if (argc == 6) {
        char* end = nullptr;
        const unsigned long bytes = std::strtoul(argv[4], &end, 10);
        if (*end != '\0' || bytes == 0 || bytes % 16 != 0 || bytes > kProgramEnd - kProgramStart) {
            std::fprintf(stderr,
                         "make_sample_package: PROGRAM_BYTES is a multiple of 16 up to %u\n",
                         kProgramEnd - kProgramStart);
            return 2;
        }
        programBytes = static_cast<uint32_t>(bytes);
        name = argv[5];
    }
    std::map<uint32_t, uint8_t> application;
    std::string readError;
    if (!readApplication(argv[2], application, readError)) {
        std::fprintf(stderr, "make_sample_package: %s\n", readError.c_str());
        return 1;
    }
    if (application.empty() || application.rbegin()->first >= kProgramStart + programBytes) {
        std::fprintf(stderr, "make_sample_package: the application does not fit in %u bytes\n",
                     programBytes);
        return 1;
    }
    const std::string hexName = name + ".hex";
    const std::string hex = sampleHex(programBytes, application);
    if (!writeFile(folder + "/" + hexName, hex)) {
        std::fprintf(stderr, "make_sample_package: cannot write %s/%s\n", folder.c_str(),
                     hexName.c_str());
        return 1;
    }
    const std::string packagePath = folder + "/" + name + ".fwz";
    std::remove(packagePath.c_str());
    int error = 0;
    zip_t* archive = zip_open(packagePath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (archive == nullptr) {
        std::fprintf(stderr, "make_sample_package: cannot create %s (libzip %d)\n",
                     packagePath.c_str(), error);
        return 1;
    }
    if (!addMember(archive, "info.txt", sampleInfo(hexName, version)) ||
        !addMember(archive, hexName.c_str(), hex) || zip_close(archive) != 0) {
        std::fprintf(stderr, "make_sample_package: %s\n", zip_strerror(archive));
        zip_discard(archive);
        return 1;
    }
    return 0;
}
