// The device profile reader, fed with any bytes as PICCFG.INI: every key the
// connection loads, through the same calls the connection makes.
#include <cstdlib>

#include "bootloader/modpic.h"
#include "fuzz/fuzz_support.h"
#include "startup/globals.h"

namespace {

using namespace dwnfrw;

// Besides the keys the profile loads: a configuration register and a key the
// file never holds.
const char* const kExtraKeys[] = {"300001", "CONFIG1H", ""};

// ReadProfileValue gives at most this many characters of a value.
constexpr int kProfileValueMaxChars = 19;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    globals().LogsFolder = fuzz::scratchFolder();
    globals().UseProfileFile = true;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzz::writeFile(picProfilePath(), fuzz::bytesOf(data, size)))
        abort();

    PicProfile profile;
    QString message;
    const bool loaded = LoadPicProfile(profile, message);
    if (!loaded && message.isEmpty())
        abort();  // an out-of-range byte value always says which key
    // A profile the check accepts never aims an erase at the boot block or
    // past the device's flash, and always advances.
    const PicProfile device = builtInPicProfile();
    if (loaded && CheckPicProfile(profile, message) &&
        (profile.pmrangelow < device.pmrangelow || profile.pmrangehigh > device.pmrangehigh ||
         profile.pmrangelow > profile.pmrangehigh || profile.eraseblock == 0))
        abort();

    for (const char* key : kExtraKeys) {
        const QString value =
            ReadProfileValue(QStringLiteral("PIC18F452"), QString::fromLatin1(key));
        if (value.size() > kProfileValueMaxChars)
            abort();
    }
    // A section name the file may hold in any letter case.
    if (ReadProfileValue(QStringLiteral("pic18f452"), QStringLiteral("WRITEBLOCK")) !=
        ReadProfileValue(QStringLiteral("PIC18F452"), QStringLiteral("writeblock")))
        abort();
    return 0;
}
