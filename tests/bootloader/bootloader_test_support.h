// Small helpers shared by the bootloader tests: real text modules, a scratch
// TempFolder, and whole-file reads and writes.
#pragma once

#include "tools/vboard/intel_hex.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <optional>
#include <ostream>

#include "startup/globals.h"
#include "startup/localtext.h"

// Readable QString and QByteArray values in failure reports.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QByteArray& bytes, std::ostream* out) {
    *out << '"' << bytes.toStdString() << '"';
}

namespace dwnfrw::testing {

// Loads the English text module built next to the tests, once. Without it
// GetText gives empty texts and the tests compare against GetText anyway.
inline bool loadEnglishTexts() {
    static const bool loaded = [] {
        setProgramFolder(QStringLiteral(DWNFRW_TEST_PROGRAM_DIR));
        QString code = QStringLiteral("ENG");
        QString message;
        return LoadLanguage(brandProductId(0), code, message) && !GetText(1105).isEmpty();
    }();
    return loaded;
}

// One Intel HEX record (count, address, type, data, checksum) and its CR LF.
inline QByteArray hexRecord(uint16_t address, uint8_t type, const QByteArray& data) {
    return vboard::intelHexRecord(type, address, data);
}

inline std::optional<QByteArray> readFileBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

inline void writeFileBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// A fresh TempFolder for each test.
class TempFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        resetGlobals();
        globals().TempFolder = folder_.path();
        loadEnglishTexts();
    }
    void TearDown() override { resetGlobals(); }

    QString path(const QString& name) const { return joinPath(folder_.path(), name); }

    QTemporaryDir folder_;
};

}  // namespace dwnfrw::testing
