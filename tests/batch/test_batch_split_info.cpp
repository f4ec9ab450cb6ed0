// dwnfrw-batch split writes what the window's "open" writes, byte for byte;
// dwnfrw-batch info shows every named record of a package.
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>

#include "bootloader/modcomm.h"
#include "package/package_opening.h"
#include "tests/batch/batch_process.h"
#include "tests/package/package_fixtures.h"
#include "tests/support/scripted_frontend.h"

namespace dwnfrw::testing {
namespace {

const QStringList kRegionNames = {QStringLiteral("progmem"), QStringLiteral("eedata"),
                                  QStringLiteral("userid"), QStringLiteral("config")};

struct SplitCase {
    const char* name;
    QByteArray hex;
    bool valid;
};

std::ostream& operator<<(std::ostream& out, const SplitCase& c) {
    return out << c.name;
}

const std::vector<SplitCase> kSplitCases = {
    // Every region, a record across two 16-byte groups and two records that
    // merge into one line.
    {"AllRegions",
     ":020000040000FA\r\n"
     ":10020800000102030405060708090A0B0C0D0E0F6E\r\n"
     ":04024000DEADBEEF82\r\n"
     ":04024800CAFEBABE72\r\n"
     ":020000040020DA\r\n"
     ":0800000030313233343536375C\r\n"
     ":020000040030CA\r\n"
     ":0E000000002F0F0E000181000FC00FE00F4017\r\n"
     ":0200000400F00A\r\n"
     ":0400000001020304F2\r\n"
     ":00000001FF\r\n",
     true},
    {"ProgramOnly", ":10040000000102030405060708090A0B0C0D0E0F74\r\n:00000001FF\r\n", true},
    {"BadChecksum", ":10040000000102030405060708090A0B0C0D0E0F00\r\n:00000001FF\r\n", false},
    // What opening a package refuses, the split refuses, and leaves no file.
    {"DataInNoMemory",
     ":10040000000102030405060708090A0B0C0D0E0F74\r\n:020000040040BA\r\n:0100000055AA\r\n"
     ":00000001FF\r\n",
     false},
    {"IndentedRecord",
     ":10040000000102030405060708090A0B0C0D0E0F74\r\n :0100000055AA\r\n:00000001FF\r\n", false},
    {"LinearAddressWithOneByte",
     ":0100000400FB\r\n:10040000000102030405060708090A0B0C0D0E0F74\r\n:00000001FF\r\n", false},
    {"BootBlock", ":10010000000102030405060708090A0B0C0D0E0F77\r\n:00000001FF\r\n", false},
};

class BatchSplit : public ::testing::TestWithParam<SplitCase> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.valid());
        ASSERT_TRUE(loadPackageTexts()) << "the English text module is not built";
        resetGlobals();
        resetBootloaderSettings();
    }
    void TearDown() override { resetGlobals(); }

    BatchScratch scratch_;
};

TEST_P(BatchSplit, SameFilesAsTheWindowsOpening) {
    const SplitCase& c = GetParam();

    // The window's "open" on a package holding the image.
    globals().DocumentsFolder = scratch_.path(QStringLiteral("docs"));
    globals().DataFolder = scratch_.path(QStringLiteral("data"));
    globals().TempFolder = scratch_.path(QStringLiteral("temp"));
    ASSERT_TRUE(QDir().mkpath(globals().TempFolder));
    const QString package = scratch_.path(QStringLiteral("split.fwz"));
    ASSERT_TRUE(buildZip(package,
                         {{QStringLiteral("info.txt"),
                           infoBlock(QStringLiteral("image.hex"), QStringLiteral("4.0.1"), "Main")},
                          {QStringLiteral("image.hex"), c.hex}},
                         Encryption::Aes256));
    PackageSession session;
    session.WorkFolder = scratch_.path(QStringLiteral("data/tempfrw"));
    ScriptedFrontend ui;
    ui.dialogs.queueFile(package);
    Frontend frontend = ui.frontend();
    OpenFile(session, frontend);
    ASSERT_EQ(ui.toolbar.isToolEnabled(QStringLiteral("dwn")), c.valid);

    // The same image through the batch front end.
    const QString hexPath = scratch_.path(QStringLiteral("image.hex"));
    ASSERT_TRUE(writeAll(hexPath, c.hex));
    const QString out = scratch_.path(QStringLiteral("regions"));
    const BatchResult result =
        scratch_.run({QStringLiteral("split"), hexPath, QStringLiteral("--out"), out});
    ASSERT_TRUE(result.finished) << result;

    if (!c.valid) {
        EXPECT_EQ(result.exitCode, 1) << result;
        ASSERT_FALSE(ui.dialogs.messages.empty());
        EXPECT_EQ(QString::fromUtf8(result.err), ui.dialogs.messages.back().prompt + u'\n');
        EXPECT_TRUE(folderNames(out).isEmpty()) << folderNames(out).join(u' ').toStdString();
        return;
    }
    EXPECT_EQ(result.exitCode, 0) << result;
    const QStringList written = folderNames(globals().TempFolder);
    ASSERT_FALSE(written.isEmpty());
    EXPECT_EQ(folderNames(out), written);
    QStringList printed;
    for (const QString& name : written) {
        EXPECT_TRUE(kRegionNames.contains(name)) << name.toStdString();
        EXPECT_EQ(readAll(QDir(out).filePath(name)), readAll(regionFilePath(name)))
            << name.toStdString();
        printed << QDir(out).filePath(name);
    }
    // The region files in their fixed order, one path a line.
    std::sort(printed.begin(), printed.end(), [](const QString& a, const QString& b) {
        return kRegionNames.indexOf(QFileInfo(a).fileName()) <
               kRegionNames.indexOf(QFileInfo(b).fileName());
    });
    EXPECT_EQ(QString::fromUtf8(result.out), printed.join(u'\n') + u'\n');
}

INSTANTIATE_TEST_SUITE_P(Images, BatchSplit, ::testing::ValuesIn(kSplitCases),
                         [](const auto& info) { return std::string(info.param.name); });

// info.txt with four described files: two share a name, one has none (and is
// not listed), the last entries of blocks end with a line break.
const QByteArray kSeveralRecords =
    "Pacchetto di prova\r\n"
    "{main.hex}\r\n[NOME]\r\nScheda principale\r\n[ARTICOLO1]\r\nQ1234A\r\n[ARTICOLO2]\r\n"
    "Q1234B\r\n[FW_VER]\r\n4.2.17\r\n[FUNZIONI]\r\nPrima riga\r\nSeconda riga\r\n[BUG_FIX]\r\n"
    "Corretto il timeout\r\n[NOTE]\r\nNessuna\r\n[TIPO]\r\nFirmware\r\n{END}\r\n"
    "{panel.bin}\r\n[NOME]\r\nPannello\r\n[FW_VER]\r\n1.0.3\r\n[TIPO]\r\nDati\r\n{END}\r\n"
    "{spare.bin}\r\n[FW_VER]\r\n1.0.0\r\n{END}\r\n"
    "{aux.bin}\r\n[NOME]\r\nPannello\r\n[FW_VER]\r\n2.0.0\r\n{END}\r\n";

class BatchInfo : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.valid());
        ASSERT_TRUE(loadPackageTexts()) << "the English text module is not built";
        package_ = scratch_.path(QStringLiteral("several.fwz"));
        ASSERT_TRUE(buildZip(package_,
                             {{QStringLiteral("info.txt"), kSeveralRecords},
                              {QStringLiteral("main.hex"), kTinyHex},
                              {QStringLiteral("panel.bin"), "panel"},
                              {QStringLiteral("spare.bin"), "spare"},
                              {QStringLiteral("aux.bin"), "aux"}},
                             Encryption::Aes256));
    }

    // One record as the text output shows it.
    static QString block(const QString& name, const QString& articles, const QString& version,
                         const QString& functions, const QString& bugFixes, const QString& notes,
                         const QString& type) {
        return QStringLiteral("== %1\n%2: %3\n%4: %5\n%6:\n%7\n%8:\n%9\n")
                   .arg(name, GetText(1027).trimmed(), articles, GetText(1026), version,
                        GetText(1021), functions, GetText(1022), bugFixes) +
               QStringLiteral("%1:\n%2\n%3: %4\n\n").arg(GetText(1024), notes, GetText(1028), type);
    }

    BatchScratch scratch_;
    QString package_;
};

TEST_F(BatchInfo, TextShowsEveryNamedRecord) {
    const BatchResult result = scratch_.run({QStringLiteral("info"), package_});
    ASSERT_TRUE(result.finished) << result;
    ASSERT_EQ(result.exitCode, 0) << result;

    // The records come in the order of the unpacked folder's listing.
    static const QRegularExpression recordStart(QStringLiteral("^(?=== )"),
                                                QRegularExpression::MultilineOption);
    QStringList blocks = QString::fromUtf8(result.out).split(recordStart, Qt::SkipEmptyParts);
    blocks.sort();
    QStringList expected = {
        block(QStringLiteral("Scheda principale"), QStringLiteral("Q1234A Q1234B "),
              QStringLiteral("4.2.17"), QStringLiteral("Prima riga\nSeconda riga"),
              QStringLiteral("Corretto il timeout"), QStringLiteral("Nessuna"),
              QStringLiteral("Firmware")),
        block(QStringLiteral("Pannello"), QString(), QStringLiteral("1.0.3"), QString(), QString(),
              QString(), QStringLiteral("Dati")),
        block(QStringLiteral("Pannello"), QString(), QStringLiteral("2.0.0"), QString(), QString(),
              QString(), QString()),
    };
    expected.sort();
    EXPECT_EQ(blocks, expected) << result;
}

TEST_F(BatchInfo, JsonRecords) {
    const BatchResult result =
        scratch_.run({QStringLiteral("info"), package_, QStringLiteral("--json")});
    ASSERT_TRUE(result.finished) << result;
    ASSERT_EQ(result.exitCode, 0) << result;
    const QJsonArray records = result.json()[QStringLiteral("records")].toArray();
    ASSERT_EQ(records.size(), 3) << result;

    QList<int> indexes;
    QStringList summaries;
    for (const QJsonValue& value : records) {
        const QJsonObject record = value.toObject();
        indexes << record[QStringLiteral("index")].toInt();
        summaries << QStringList{record[QStringLiteral("name")].toString(),
                                 record[QStringLiteral("version")].toString(),
                                 record[QStringLiteral("articles")].toString(),
                                 record[QStringLiteral("functions")].toString(),
                                 record[QStringLiteral("type")].toString()}
                         .join(u'|');
    }
    summaries.sort();
    EXPECT_EQ(
        summaries,
        QStringList({QStringLiteral("Pannello|1.0.3|||Dati"), QStringLiteral("Pannello|2.0.0|||"),
                     QStringLiteral("Scheda principale|4.2.17|Q1234A Q1234B|Prima riga\n"
                                    "Seconda riga|Firmware")}));
    // Table indexes: entry 0 is never a file; the unnamed record is skipped.
    std::sort(indexes.begin(), indexes.end());
    EXPECT_GE(indexes.front(), 1);
    EXPECT_EQ(std::adjacent_find(indexes.begin(), indexes.end()), indexes.end());
}

TEST_F(BatchInfo, DamagedPackageFails) {
    const QString damaged = scratch_.path(QStringLiteral("damaged.fwz"));
    ASSERT_TRUE(writeAll(damaged, "not a zip archive"));
    const BatchResult result = scratch_.run({QStringLiteral("info"), damaged});
    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, 1) << result;
    EXPECT_TRUE(QString::fromUtf8(result.err).contains(GetText(1016))) << result;
    EXPECT_TRUE(result.out.isEmpty()) << result;
}

// A pipe would block a reader forever, a missing file cannot be read: every
// command refuses both at once, each with its own cause.
TEST_F(BatchInfo, PipeAndMissingFileAreRefusedByEveryCommand) {
    const QString pipe = scratch_.path(QStringLiteral("pipe.fwz"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const QString missing = scratch_.path(QStringLiteral("missing.fwz"));
    const struct {
        QString file;
        int text;
    } rows[] = {{pipe, 1139}, {missing, 1193}};
    for (const auto& row : rows) {
        const QString refusal = GetText(row.text).arg(row.file);
        for (const QStringList& command :
             {QStringList{QStringLiteral("split"), row.file, QStringLiteral("--out"),
                          scratch_.path(QStringLiteral("out"))},
              QStringList{QStringLiteral("info"), row.file},
              QStringList{QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3"),
                          QStringLiteral("--package"), row.file}}) {
            const BatchResult result = scratch_.run(command);
            ASSERT_TRUE(result.finished) << result;
            EXPECT_EQ(result.exitCode, 1) << result;
            EXPECT_TRUE(QString::fromUtf8(result.err).contains(refusal)) << result;
        }
    }
}

// A package whose files carry no name has nothing to show: info says so.
TEST_F(BatchInfo, PackageWithoutDescriptionFails) {
    const QString unnamed = scratch_.path(QStringLiteral("unnamed.fwz"));
    ASSERT_TRUE(
        buildZip(unnamed,
                 {{QStringLiteral("info.txt"), "{main.hex}\r\n[FW_VER]\r\n4.2.17\r\n{END}\r\n"},
                  {QStringLiteral("main.hex"), kTinyHex}},
                 Encryption::Aes256));
    const BatchResult result = scratch_.run({QStringLiteral("info"), unnamed});
    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, 1) << result;
    EXPECT_TRUE(QString::fromUtf8(result.err).contains(GetText(1192).arg(unnamed))) << result;
    EXPECT_TRUE(result.out.isEmpty()) << result;
}

}  // namespace
}  // namespace dwnfrw::testing
