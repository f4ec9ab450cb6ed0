// The command line of the program: options and their reading into the settings.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "startup/globals.h"

namespace dwnfrw {

// Reads the leading number of text the way a leading-number parser does: an
// optional sign, digits with an optional fraction and exponent, or "&H" and
// hexadecimal digits; reading stops at the first character that does not fit
// and nothing readable gives 0. With readable, says whether any digit was read.
double leadingNumber(const QString& text, bool* readable = nullptr);

// Rounds half to even into a signed 32-bit integer; no value when the number
// does not fit (an overflow).
std::optional<int32_t> roundToInt32(double value);

// Applies the command line to settings: upper-cased, split at every single
// space, each token tested in turn. Flags are only ever set.
void parseCommandLine(const QString& commandLine, GlobalSettings& settings);

// The command line as one text, from the program's arguments (argv[1..]).
QString joinArguments(const QStringList& arguments);

}  // namespace dwnfrw
