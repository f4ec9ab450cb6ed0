// Shared by the window tests: the real text modules and readable Qt values.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <ostream>

#include "startup/globals.h"
#include "startup/localtext.h"

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace dwnfrw::testing {

// Makes the first brand's text module of `code`, from the build's program
// folder, the open one; true when its texts answer. A module stays open until
// another language is asked for: opening one module a second time in the same
// process does not work at present, so the tests use Italian throughout and
// switch to English only in the last test.
inline bool useLanguage(const char* code) {
    static QString current;
    setProgramFolder(QStringLiteral(DWNFRW_TEST_PROGRAM_DIR));
    QString languageCode = QString::fromLatin1(code);
    if (languageCode != current) {
        QString message;
        if (!LoadLanguage(brandProductId(0), languageCode, message)) {
            return false;
        }
        current = languageCode;
    }
    return !GetText(1019).isEmpty();
}

}  // namespace dwnfrw::testing
