// What the information window shows of one description record, for every
// front end that shows it.
#pragma once

#include <QString>

#include "package/modgestfrw.h"

namespace dwnfrw {

struct InfoDisplay {
    QString articoli;  // the non-empty article codes, each followed by one space
    QString fwVer;     // as stored
    QString funzioni;  // CR turned into CR LF
    QString bugFix;
    QString note;
    QString tipo;  // as stored
};

InfoDisplay describeInfoRecord(const InfoFRW& record);

}  // namespace dwnfrw
