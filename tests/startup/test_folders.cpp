#include <gtest/gtest.h>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "startup/folders.h"
#include "startup/globals.h"

namespace dwnfrw {
namespace {

// Points the user's data and documents folders into a temporary home.
class FoldersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        savedHome_ = qgetenv("HOME");
        savedData_ = qgetenv("XDG_DATA_HOME");
        savedConfig_ = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", home_.path().toLocal8Bit());
        qputenv("XDG_DATA_HOME", (home_.path() + "/data").toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (home_.path() + "/config").toLocal8Bit());
        resetGlobals();
    }
    void TearDown() override {
        qputenv("HOME", savedHome_);
        qputenv("XDG_DATA_HOME", savedData_);
        qputenv("XDG_CONFIG_HOME", savedConfig_);
    }
    QTemporaryDir home_;
    QByteArray savedHome_, savedData_, savedConfig_;
};

TEST_F(FoldersTest, SpecialFolders) {
    EXPECT_EQ(GetSpecialFolderPath(kCommonAppDataFolder), home_.path() + "/data");
    EXPECT_EQ(GetSpecialFolderPath(kPersonalFolder), home_.path() + "/Documents");
    EXPECT_EQ(GetSpecialFolderPath(999), QString());  // unknown: empty text, no error
}

TEST_F(FoldersTest, BothBrandsCreatedOnFirstUseAndReused) {
    struct {
        int32_t brand;
        const char* brandFolder;
        const char* product;
    } cases[] = {{0, "Norvexa", "VelmorStudio_0200"},
                 {1, "Kestova", "VelmorControlConfig_0100"},
                 {7, "Norvexa", "VelmorStudio_0200"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.brandFolder);
        globals().Brand = c.brand;
        const QString product = brandProductFolder(c.brand);
        EXPECT_EQ(product, QString::fromLatin1(c.product));
        const QString data = home_.path() + "/data/" + c.brandFolder + "/" + c.product;
        const QString documents = home_.path() + "/Documents/" + c.brandFolder + "/" + c.product;

        EXPECT_TRUE(PrepareDataFolders(product));
        EXPECT_EQ(globals().DataFolder, data);
        EXPECT_EQ(globals().DocumentsFolder, documents);
        EXPECT_TRUE(QFileInfo(data).isDir());
        EXPECT_TRUE(QFileInfo(documents).isDir());

        // Second start: the same folders, nothing changed.
        const QDateTime stamp = QFileInfo(data).lastModified();
        EXPECT_TRUE(PrepareDataFolders(product));
        EXPECT_EQ(globals().DataFolder, data);
        EXPECT_EQ(QFileInfo(data).lastModified(), stamp);
    }
}

TEST_F(FoldersTest, UncreatableProductFolderReportsFalse) {
    globals().Brand = 0;
    // A plain file where the brand folder should be blocks the tree.
    QDir().mkpath(home_.path() + "/data");
    QFile blocker(home_.path() + "/data/Norvexa");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(PrepareDataFolders(brandProductFolder(0)));
    EXPECT_TRUE(globals().DocumentsFolder.isEmpty());
}

}  // namespace
}  // namespace dwnfrw
