#include "package/info_display.h"

namespace dwnfrw {

namespace {

QString withLineBreaks(QString text) {
    text.replace(QLatin1String("\r"), QLatin1String("\r\n"));
    return text;
}

}  // namespace

InfoDisplay describeInfoRecord(const InfoFRW& record) {
    InfoDisplay display;
    for (const QString& code : record.Articoli) {
        if (!code.isEmpty())
            display.articoli += code + QLatin1Char(' ');
    }
    display.fwVer = record.FwVer;
    display.funzioni = withLineBreaks(record.Funzioni);
    display.bugFix = withLineBreaks(record.BugFix);
    display.note = withLineBreaks(record.Note);
    display.tipo = record.Tipo;
    return display;
}

}  // namespace dwnfrw
