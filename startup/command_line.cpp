#include "startup/command_line.h"

#include <cfenv>
#include <cmath>
#include <limits>

namespace dwnfrw {

namespace {

bool isDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    return -1;
}

}  // namespace

double leadingNumber(const QString& text, bool* readable) {
    if (readable != nullptr)
        *readable = false;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;

    if (i + 1 < n && text[i] == QLatin1Char('&') &&
        (text[i + 1] == QLatin1Char('H') || text[i + 1] == QLatin1Char('h'))) {
        double value = 0;
        for (i += 2; i < n && hexValue(text[i]) >= 0; ++i) {
            value = value * 16 + hexValue(text[i]);
            if (readable != nullptr)
                *readable = true;
        }
        return value;
    }

    QString number;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        number += text[i++];
    bool anyDigit = false;
    while (i < n && isDigit(text[i])) {
        number += text[i++];
        anyDigit = true;
    }
    if (i < n && text[i] == QLatin1Char('.')) {
        number += text[i++];
        while (i < n && isDigit(text[i])) {
            number += text[i++];
            anyDigit = true;
        }
    }
    if (!anyDigit)
        return 0;
    if (readable != nullptr)
        *readable = true;
    // An exponent counts only when digits follow it.
    if (i < n && (text[i] == QLatin1Char('E') || text[i] == QLatin1Char('e') ||
                  text[i] == QLatin1Char('D') || text[i] == QLatin1Char('d'))) {
        qsizetype j = i + 1;
        QString exponent = QStringLiteral("e");
        if (j < n && (text[j] == QLatin1Char('+') || text[j] == QLatin1Char('-'))) {
            exponent += text[j++];
        }
        if (j < n && isDigit(text[j])) {
            while (j < n && isDigit(text[j]))
                exponent += text[j++];
            number += exponent;
        }
    }
    bool ok = false;
    const double value = number.toDouble(&ok);
    return ok ? value : 0;
}

std::optional<int32_t> roundToInt32(double value) {
    if (!std::isfinite(value))
        return std::nullopt;
    const int previous = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(previous);
    if (rounded < static_cast<double>(std::numeric_limits<int32_t>::min()) ||
        rounded > static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::nullopt;
    }
    return static_cast<int32_t>(rounded);
}

void parseCommandLine(const QString& commandLine, GlobalSettings& settings) {
    const QString line = commandLine.toUpper();
    const QStringList tokens = line.split(QLatin1Char(' '));
    for (const QString& token : tokens) {
        if (token == QLatin1String("/LOG")) {
            settings.LogEnabled = true;
        } else if (token == QLatin1String("/NOCHECK")) {
            settings.NoCheck = true;
        } else if (token == QLatin1String("/NOCHECKPLUS")) {
            settings.NoCheckPlus = true;
        } else if (token == QLatin1String("/D")) {
            settings.UseProfileFile = true;
        }
        if (token.startsWith(QLatin1String("/COM="))) {
            QString rest = token;
            rest.remove(QLatin1String("/COM="));
            // A value that overflows 32 bits is a conversion error, which
            // start-up ignores: the port keeps its earlier value.
            if (const std::optional<int32_t> port = roundToInt32(leadingNumber(rest))) {
                settings.ComPort = *port;
            }
        } else if (token.startsWith(QLatin1String("/L="))) {
            QString code = token;
            code.remove(QLatin1String("/L="));
            settings.LanguageCode = code;
        } else if (token.startsWith(QLatin1String("/BRAND=KESTOVA"))) {
            settings.Brand = 1;
        }
    }
}

QString joinArguments(const QStringList& arguments) {
    return arguments.join(QLatin1Char(' '));
}

}  // namespace dwnfrw
