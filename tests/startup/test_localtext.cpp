#include <gtest/gtest.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/registration.h"

namespace dwnfrw {
namespace {

const QString kProduct = QStringLiteral("Nx016_0200");

QString scenario(const char* name) {
    return QDir(QStringLiteral(MODULE_ROOT)).filePath(QString::fromLatin1(name));
}

class LocalTextTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetGlobals();
        UnloadLanguage();
        globals().AppName = QStringLiteral("VelmorStudio");
    }
    void TearDown() override {
        UnloadLanguage();
        setProgramFolder(QString());
        setRegistrationTimeLimitForTests(0);
    }

    bool load(const char* folder, QString& code, QString& message) {
        setProgramFolder(scenario(folder));
        return LoadLanguage(kProduct, code, message);
    }
};

TEST_F(LocalTextTest, ChosenLanguageAnswersAndItalianFillsMissingNumbers) {
    QString code = QStringLiteral("ENG");
    QString message;
    ASSERT_TRUE(load("full", code, message));
    EXPECT_EQ(code, QStringLiteral("ENG"));
    EXPECT_TRUE(message.isEmpty());
    EXPECT_EQ(GetText(1004), QStringLiteral("English 1004"));
    EXPECT_EQ(GetText(1002), QStringLiteral("Solo in italiano"));  // only in Italian
    EXPECT_EQ(GetText(1999), QStringLiteral("NOSTRING"));          // in neither
}

TEST_F(LocalTextTest, AppNameReplacedEverywhereButOnlyInExactCase) {
    QString code = QStringLiteral("ITA");
    QString message;
    ASSERT_TRUE(load("full", code, message));
    EXPECT_EQ(GetText(1001),
              QStringLiteral("Testo italiano di VelmorStudio e ancora VelmorStudio"));
    EXPECT_EQ(GetText(1003), QStringLiteral("Minuscolo %appname% resta"));
    globals().AppName = QStringLiteral("VelmorControlConfig");
    EXPECT_EQ(GetText(1001), QStringLiteral("Testo italiano di VelmorControlConfig e ancora "
                                            "VelmorControlConfig"));
}

TEST_F(LocalTextTest, FallbackOrder) {
    struct {
        const char* folder;
        const char* code;
        const char* expectedCode;  // LanguageCode afterwards
        const char* text1004;      // which module answers
    } cases[] = {
        // No module for the code: cleared, silent Italian.
        {"full", "XYZ", "", "Italiano 1004"},
        // Module names ignore letter case: "ita" finds "...ITA.dll".
        {"full", "ita", "ita", "Italiano 1004"},
        // The module exists but lacks its registration entry.
        {"noregister", "ENG", "ENG", "Italiano 1004"},
        // A registration that reports an error still counts.
        {"regfail", "ENG", "ENG", "English 1004"},
        // Codes that would leave the program's folder never load anything.
        {"full", "../FULL/NX016_0200ENG", "", "Italiano 1004"},
        {"full", "/TMP/EVIL", "", "Italiano 1004"},
        {"full", "EN G", "", "Italiano 1004"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.folder) + " " + c.code);
        UnloadLanguage();
        QString code = QString::fromLatin1(c.code);
        QString message;
        ASSERT_TRUE(load(c.folder, code, message));
        EXPECT_EQ(code, QString::fromLatin1(c.expectedCode));
        EXPECT_TRUE(message.isEmpty());
        EXPECT_EQ(GetText(1004), QString::fromLatin1(c.text1004));
    }
}

TEST_F(LocalTextTest, HangingRegistrationGivesUpAtTheLimitThenItalian) {
    setRegistrationTimeLimitForTests(300);
    QString code = QStringLiteral("ENG");
    QString message;
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(load("hang", code, message));
    EXPECT_GE(timer.elapsed(), 300);
    EXPECT_LT(timer.elapsed(), 2500);
    EXPECT_EQ(GetText(1004), QStringLiteral("Italiano 1004"));
}

TEST_F(LocalTextTest, MissingTextWithoutItalianModuleStaysNoString) {
    QString code = QStringLiteral("ENG");
    QString message;
    ASSERT_TRUE(load("engonly", code, message));
    EXPECT_EQ(GetText(1004), QStringLiteral("English 1004"));
    EXPECT_EQ(GetText(1002), QStringLiteral("NOSTRING"));
}

TEST_F(LocalTextTest, NoUsableModuleFailsWithTheItalianStemInTheMessage) {
    QTemporaryDir empty;
    ASSERT_TRUE(empty.isValid());
    QFile notALibrary(QDir(empty.path()).filePath(QStringLiteral("Nx016_0200ENG.dll")));
    ASSERT_TRUE(notALibrary.open(QIODevice::WriteOnly));
    notALibrary.write("not a library");
    notALibrary.close();

    for (const QString& folder : {empty.path(), scenario("broken")}) {
        SCOPED_TRACE(folder.toStdString());
        setProgramFolder(folder);
        QString code = QStringLiteral("ENG");
        QString message;
        EXPECT_FALSE(LoadLanguage(kProduct, code, message));
        EXPECT_EQ(message, QStringLiteral("File Locale Language Nx016_0200Ita.dll not found"));
        EXPECT_EQ(GetText(1004), QString());  // no text source at all
    }
}

TEST_F(LocalTextTest, RealModulesOfBothProducts) {
    setProgramFolder(QStringLiteral(PROGRAM_DIR));
    for (const char* product : {"Nx016_0200", "KSV006_0100"}) {
        SCOPED_TRACE(product);
        UnloadLanguage();
        QString code = QStringLiteral("ENG");
        QString message;
        ASSERT_TRUE(LoadLanguage(QString::fromLatin1(product), code, message))
            << message.toStdString();
        EXPECT_EQ(GetText(1033), QStringLiteral("Exit"));
        UnloadLanguage();
        code = QStringLiteral("XYZ");
        ASSERT_TRUE(LoadLanguage(QString::fromLatin1(product), code, message));
        EXPECT_EQ(GetText(1033), QStringLiteral("Esci"));
        // Every number the program uses has a text in both languages.
        for (int32_t n : {1001, 1002, 1017, 1098, 1102, 1108}) {
            EXPECT_NE(GetText(n), QStringLiteral("NOSTRING")) << n;
        }
    }
}

TEST(RegistrationTest, Outcomes) {
    setRegistrationTimeLimitForTests(0);
    EXPECT_FALSE(RegisterComponent(QStringLiteral("/nonexistent/module.dll")));
    EXPECT_FALSE(RegisterComponent(scenario("noregister") + QStringLiteral("/Nx016_0200ENG.dll")));
    EXPECT_TRUE(RegisterComponent(scenario("regfail") + QStringLiteral("/Nx016_0200ENG.dll")));
    EXPECT_TRUE(RegisterComponent(scenario("full") + QStringLiteral("/Nx016_0200ITA.dll")));

    // The limit covers the module's own start-up code, which runs as it loads.
    setRegistrationTimeLimitForTests(200);
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(RegisterComponent(scenario("slowstart") + QStringLiteral("/Nx016_0200ENG.dll")));
    EXPECT_LT(timer.elapsed(), 900);
    setRegistrationTimeLimitForTests(0);
}

}  // namespace
}  // namespace dwnfrw
