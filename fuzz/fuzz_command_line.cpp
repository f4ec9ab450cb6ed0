// The command-line grammar, fed with any text (UTF-8, as the arguments arrive).
// Beyond "no crash": flags are only ever set by the exact tokens, and the
// language code comes only from a "/L=" token.
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "startup/command_line.h"
#include "startup/globals.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dwnfrw;
    const QString line = QString::fromUtf8(fuzz::bytesOf(data, size));

    GlobalSettings settings;
    parseCommandLine(line, settings);

    const QString upper = line.toUpper();
    const QStringList tokens = upper.split(u' ');
    if (settings.LogEnabled != tokens.contains(QStringLiteral("/LOG")) ||
        settings.NoCheck != tokens.contains(QStringLiteral("/NOCHECK")) ||
        settings.NoCheckPlus != tokens.contains(QStringLiteral("/NOCHECKPLUS")) ||
        settings.UseProfileFile != tokens.contains(QStringLiteral("/D")))
        abort();
    if (!settings.LanguageCode.isEmpty() && !upper.contains(QStringLiteral("/L=")))
        abort();
    if (settings.ComPort != 0 && !upper.contains(QStringLiteral("/COM=")))
        abort();
    if (settings.Brand != 0 && !upper.contains(QStringLiteral("/BRAND=KESTOVA")))
        abort();

    // The number reader on its own, with the rounding the port goes through.
    roundToInt32(leadingNumber(line));
    return 0;
}
