// Builds the sample firmware package from our own sources: a small image with
// a deterministic pattern above the boot block, EEPROM and user-ID data, an
// info.txt with Italian texts, packed with the package password.
//
//   make_sample_package OUTPUT_DIR [PROGRAM_BYTES NAME]
// writes OUTPUT_DIR/NAME.fwz and, for comparison after an update,
// OUTPUT_DIR/NAME.hex (NAME "sample", 4 KiB of program memory by default).
#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

std::string sampleHex(uint32_t programBytes) {
    std::string hex;
    std::vector<uint8_t> program(programBytes);
    for (uint32_t i = 0; i < programBytes; ++i) {
        const uint32_t a = kProgramStart + i;
        program[i] = static_cast<uint8_t>((a * 7 + (a >> 8) * 13) & 0xFF);
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
std::string sampleInfo(const std::string& hexName) {
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
           "[FW_VER]\r\n"
           "4.1.7\r\n"
           "[FUNZIONI]\r\n"
           "Aggiornamento di prova per la scheda virtuale.\r\n"
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
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: make_sample_package OUTPUT_DIR [PROGRAM_BYTES NAME]\n");
        return 2;
    }
    const std::string folder = argv[1];
    uint32_t programBytes = kDefaultProgramBytes;
    std::string name = "sample";
    if (argc == 4) {
        char* end = nullptr;
        const unsigned long bytes = std::strtoul(argv[2], &end, 10);
        if (*end != '\0' || bytes == 0 || bytes % 16 != 0 || bytes > kProgramEnd - kProgramStart) {
            std::fprintf(stderr,
                         "make_sample_package: PROGRAM_BYTES is a multiple of 16 up to %u\n",
                         kProgramEnd - kProgramStart);
            return 2;
        }
        programBytes = static_cast<uint32_t>(bytes);
        name = argv[3];
    }
    const std::string hexName = name + ".hex";
    const std::string hex = sampleHex(programBytes);
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
    if (!addMember(archive, "info.txt", sampleInfo(hexName)) ||
        !addMember(archive, hexName.c_str(), hex) || zip_close(archive) != 0) {
        std::fprintf(stderr, "make_sample_package: %s\n", zip_strerror(archive));
        zip_discard(archive);
        return 1;
    }
    return 0;
}
