// ModPIC: the device profile and the private-profile (INI) file that holds it.

#include "bootloader/modpic.h"

#include <QFile>
#include <QSaveFile>
#include <QStringList>
#include <cfenv>
#include <cmath>

#include "bootloader/modcomm.h"
#include "startup/command_line.h"
#include "startup/globals.h"
#include "startup/localtext.h"

namespace dwnfrw {

namespace {

const QString kDeviceSection = QStringLiteral("PIC18F452");
const QString kProfileFileName = QStringLiteral("PICCFG.INI");

// A profile value is read into a buffer of 20 characters, terminator included.
constexpr int kProfileValueMaxChars = 19;

struct DefaultKey {
    const char* key;
    const char* value;  // written exactly so, quotes included
};

// The keys of a default profile, in the order they are written.
constexpr DefaultKey kDefaultProfile[] = {
    {"writeblock", "8"},           {"readblock", "1"},
    {"eraseblock", "64"},          {"DeviceType", "1"},
    {"MaxPacketSize", "128"},      {"BytesPerAddr", "1"},
    {"pmrangelow", "\"000200\""},  {"pmrangehigh", "\"007FFF\""},
    {"eerangelow", "\"000000\""},  {"eerangehigh", "\"0000FF\""},
    {"usrrangelow", "\"200000\""}, {"usrrangehigh", "\"20000F\""},
    {"cfgrangelow", "\"300000\""}, {"cfgrangehigh", "\"30000F\""},
    {"300001", "\"CONFIG1H\""},    {"300002", "\"CONFIG2L\""},
    {"300003", "\"CONFIG2H\""},    {"300005", "\"CONFIG3H\""},
    {"300006", "\"CONFIG4L\""},    {"300008", "\"CONFIG5L\""},
    {"300009", "\"CONFIG5H\""},    {"30000A", "\"CONFIG6L\""},
    {"30000B", "\"CONFIG6H\""},    {"30000C", "\"CONFIG7L\""},
    {"30000D", "\"CONFIG7H\""},
};

// --- Private-profile file ----------------------------------------------
// Sections "[name]" and lines "key=value"; names match without regard to case,
// ";" starts a comment line, the first match wins, lines end with CR LF.

QString sectionName(const QString& trimmedLine) {
    if (trimmedLine.size() < 2 || !trimmedLine.startsWith(QLatin1Char('[')) ||
        !trimmedLine.endsWith(QLatin1Char(']')))
        return {};
    return trimmedLine.mid(1, trimmedLine.size() - 2).trimmed();
}

bool isSection(const QString& trimmedLine) {
    return !sectionName(trimmedLine).isNull();
}

// Splits "key=value"; false for lines without "=".
bool keyValue(const QString& line, QString& key, QString& value) {
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals < 0)
        return false;
    key = line.left(equals).trimmed();
    value = line.mid(equals + 1).trimmed();
    return true;
}

QStringList readProfileLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'));
    for (QString& line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QString profileString(const QString& path, const QString& section, const QString& key) {
    bool inSection = false;
    for (const QString& raw : readProfileLines(path)) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (isSection(line)) {
            inSection = sectionName(line).compare(section, Qt::CaseInsensitive) == 0;
            continue;
        }
        QString name, value;
        if (!inSection || !keyValue(line, name, value))
            continue;
        if (name.compare(key, Qt::CaseInsensitive) != 0)
            continue;
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
            value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return {};
}

// Sets key in section, replacing its value or appending it at the end of the
// section; creates the file and the section as needed.
bool writeProfileString(const QString& path, const QString& section, const QString& key,
                        const QString& value) {
    QStringList lines = readProfileLines(path);
    const QString entry = key + QLatin1Char('=') + value;
    qsizetype sectionStart = -1;
    qsizetype insertAt = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (isSection(line)) {
            if (sectionStart >= 0)
                break;  // the end of our section
            if (sectionName(line).compare(section, Qt::CaseInsensitive) == 0) {
                sectionStart = i;
                insertAt = i + 1;
            }
            continue;
        }
        if (sectionStart < 0)
            continue;
        QString name, ignored;
        if (!line.startsWith(QLatin1Char(';')) && keyValue(line, name, ignored) &&
            name.compare(key, Qt::CaseInsensitive) == 0) {
            lines[i] = entry;
            insertAt = -1;
            sectionStart = -2;  // done
            break;
        }
        if (!line.isEmpty())
            insertAt = i + 1;
    }
    if (sectionStart == -1) {
        lines << QLatin1Char('[') + section + QLatin1Char(']') << entry;
    } else if (insertAt >= 0) {
        lines.insert(insertAt, entry);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text =
        (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toLatin1();
    // commit() does not report a failure of the write that empties the
    // file's buffer (a full disk): flush first, so a cut profile is refused.
    return file.write(text) == text.size() && file.flush() && file.commit();
}

// --- Value conversions -------------------------------------------------

// A range value: leading hexadecimal digits; nothing readable gives 0. Kept
// as the 32 bits a signed integer holds.
int32_t rangeValue(const QString& text) {
    const double value = leadingNumber(QStringLiteral("&H") + text);
    return static_cast<int32_t>(static_cast<uint32_t>(std::fmod(value, 4294967296.0)));
}

// A byte value: the leading decimal number rounded half to even.
bool byteValue(const QString& key, const QString& text, uint8_t& out, QString& message) {
    const double value = leadingNumber(text);
    const int previous = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double rounded = std::nearbyint(value);
    std::fesetround(previous);
    if (!(rounded >= 0.0 && rounded <= 255.0)) {
        message =
            QStringLiteral("Overflow: il valore \"%1\" della chiave %2 in %3 non sta tra 0 e 255")
                .arg(text, key, kProfileFileName);
        return false;
    }
    out = static_cast<uint8_t>(rounded);
    return true;
}

constexpr int kTextKeyNotANumber = 1115;
constexpr int kTextRangeBackwards = 1116;
constexpr int kTextKeyIsZero = 1117;

constexpr int kTextProgramRangeOutside = 1159;

// A range key's value gives a number as rangeValue reads it: leading
// hexadecimal digits ("0200 ; boot block after" reads as 0200).
bool readsAsRange(const QString& text) {
    bool readable = false;
    leadingNumber(QStringLiteral("&H") + text, &readable);
    return readable;
}

// A byte key's value gives a number as byteValue reads it: a leading decimal
// number or "&H" and hexadecimal digits ("64 ; rows", "&H40").
bool readsAsByte(const QString& text) {
    bool readable = false;
    leadingNumber(text, &readable);
    return readable;
}

}  // namespace

PicProfile builtInPicProfile() {
    PicProfile p;
    p.pmrangelow = 0x000200;
    p.pmrangehigh = 0x007FFF;
    // Not the file's 000000: the EEPROM range is only loaded, never used.
    p.eerangelow = 0x000020;
    p.eerangehigh = 0x0000FF;
    p.usrrangelow = 0x200000;
    p.usrrangehigh = 0x20000F;
    p.cfgrangelow = 0x300000;
    p.cfgrangehigh = 0x30000F;
    p.eraseblock = 64;
    p.writeblock = 8;
    p.bytesperaddr = 1;
    p.readblock = 1;
    p.maxpacketsize = 128;
    p.devicetype = 1;
    return p;
}

QString picProfilePath() {
    return joinPath(globals().LogsFolder, kProfileFileName);
}

void WriteDefaultProfile() {
    const QString path = picProfilePath();
    if (QFile::exists(path))
        return;
    for (const DefaultKey& key : kDefaultProfile)
        writeProfileString(path, kDeviceSection, QString::fromLatin1(key.key),
                           QString::fromLatin1(key.value));
}

QString ReadProfileValue(const QString& section, const QString& key) {
    return profileString(picProfilePath(), section, key).left(kProfileValueMaxChars);
}

bool LoadPicProfile(PicProfile& profile, QString& message) {
    if (!globals().UseProfileFile) {
        profile = builtInPicProfile();
        return true;
    }
    const auto range = [](const char* key) {
        return rangeValue(ReadProfileValue(kDeviceSection, QString::fromLatin1(key)));
    };
    const auto byte = [&message](const char* key, uint8_t& out) {
        const QString name = QString::fromLatin1(key);
        return byteValue(name, ReadProfileValue(kDeviceSection, name), out, message);
    };
    profile.pmrangelow = range("pmrangelow");
    profile.pmrangehigh = range("pmrangehigh");
    profile.eerangelow = range("eerangelow");
    profile.eerangehigh = range("eerangehigh");
    profile.usrrangelow = range("usrrangelow");
    profile.usrrangehigh = range("usrrangehigh");
    profile.cfgrangelow = range("cfgrangelow");
    profile.cfgrangehigh = range("cfgrangehigh");
    return byte("bytesperaddr", profile.bytesperaddr) &&
           byte("maxpacketsize", profile.maxpacketsize) && byte("eraseblock", profile.eraseblock) &&
           byte("readblock", profile.readblock) && byte("writeblock", profile.writeblock) &&
           byte("devicetype", profile.devicetype);
}

bool CheckPicProfile(const PicProfile& profile, QString& message) {
    const QString source =
        globals().UseProfileFile ? picProfilePath() : QStringLiteral("(%1)").arg(kDeviceSection);
    if (globals().UseProfileFile) {
        struct UsedKey {
            const char* name;
            bool (*isNumber)(const QString&);
        };
        static const UsedKey kUsedKeys[] = {
            {"pmrangelow", readsAsRange},  {"pmrangehigh", readsAsRange},
            {"usrrangelow", readsAsRange}, {"usrrangehigh", readsAsRange},
            {"eraseblock", readsAsByte},   {"writeblock", readsAsByte},
            {"bytesperaddr", readsAsByte},
        };
        for (const UsedKey& key : kUsedKeys) {
            const QString name = QString::fromLatin1(key.name);
            if (!key.isNumber(ReadProfileValue(kDeviceSection, name))) {
                message = GetText(kTextKeyNotANumber).arg(name, source);
                return false;
            }
        }
    }
    const struct {
        const char* low;
        const char* high;
        int32_t lowValue;
        int32_t highValue;
    } ranges[] = {
        {"pmrangelow", "pmrangehigh", profile.pmrangelow, profile.pmrangehigh},
        {"usrrangelow", "usrrangehigh", profile.usrrangelow, profile.usrrangehigh},
    };
    for (const auto& range : ranges) {
        if (range.lowValue > range.highValue) {
            message = GetText(kTextRangeBackwards)
                          .arg(source, QLatin1String(range.low), QLatin1String(range.high),
                               QString::number(range.lowValue, 16).toUpper(),
                               QString::number(range.highValue, 16).toUpper());
            return false;
        }
    }
    // The boot block below and the end of the device's flash above are no
    // program range's: an erase there would hit the bootloader or wrap.
    const PicProfile device = builtInPicProfile();
    if (profile.pmrangelow < device.pmrangelow || profile.pmrangehigh > device.pmrangehigh) {
        message = GetText(kTextProgramRangeOutside)
                      .arg(source, HexPad(profile.pmrangelow, 6), HexPad(profile.pmrangehigh, 6),
                           HexPad(device.pmrangelow, 6), HexPad(device.pmrangehigh, 6));
        return false;
    }
    const struct {
        const char* name;
        uint8_t value;
    } steps[] = {{"eraseblock", profile.eraseblock},
                 {"writeblock", profile.writeblock},
                 {"bytesperaddr", profile.bytesperaddr}};
    for (const auto& step : steps) {
        if (step.value == 0) {
            message = GetText(kTextKeyIsZero).arg(QLatin1String(step.name), source);
            return false;
        }
    }
    return true;
}

}  // namespace dwnfrw
