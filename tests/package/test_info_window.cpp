// The information window on the offscreen platform: its list, its fields, its
// translated captions, and opening it twice.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "bootloader/modcomm.h"
#include "package/modgestfrw.h"
#include "tests/package/package_fixtures.h"
#include "tests/support/scripted_frontend.h"
#include "ui/frmDWNFRW.h"
#include "ui/frmInfoFRW.h"

namespace dwnfrw::testing {
namespace {

InfoFRW named(const QString& nome, const QString& version) {
    InfoFRW record;
    record.Nome = nome;
    record.FwVer = version;
    record.Articoli = QStringList{QString()};
    return record;
}

class InfoWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(loadPackageTexts()) << "the English text module is not built";
        ResetInfoFRWTable();
        QList<InfoFRW>& table = InfoFRWTable();
        InfoFRW main = named(QStringLiteral("Main board"), QStringLiteral("4.02.17\r"));
        main.Articoli = QStringList{QString(), QStringLiteral("Q1234A"), QStringLiteral("Q1234B")};
        main.Funzioni = QStringLiteral("one\rtwo\rthree");
        main.BugFix = QStringLiteral("fixed\r");
        main.Note = QStringLiteral("note");
        main.Tipo = QStringLiteral("Firmware\r");
        main.Ext = QStringLiteral("never shown");
        table.append(main);
        table.append(named(QString(), QStringLiteral("9.9.9")));  // no name: not listed
        table.append(named(QStringLiteral("Main board"), QStringLiteral("5.0.0")));
    }
    void TearDown() override { ResetInfoFRWTable(); }

    template <typename T>
    static T* child(QWidget* window, const char* name) {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
};

TEST_F(InfoWindowTest, ListsNamedRecordsAndShowsTheFirst) {
    frmInfoFRW window;
    auto* list = child<QComboBox>(&window, "cmbFRW");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(0), QStringLiteral("Main board"));
    EXPECT_EQ(list->itemData(0).toInt(), 1);
    EXPECT_EQ(list->itemData(1).toInt(), 3);
    EXPECT_EQ(list->currentIndex(), 0);

    EXPECT_EQ(child<QLabel>(&window, "lblArticoli")->text(), QStringLiteral("Q1234A Q1234B "));
    EXPECT_EQ(child<QLabel>(&window, "lblVers")->text(), QStringLiteral("4.02.17\r"));
    EXPECT_EQ(child<QLabel>(&window, "lblTipo")->text(), QStringLiteral("Firmware\r"));
    auto* funz = child<QPlainTextEdit>(&window, "txtFunz");
    EXPECT_EQ(funz->toPlainText(), QStringLiteral("one\ntwo\nthree"));
    EXPECT_EQ(funz->document()->blockCount(), 3);
    auto* bugFix = child<QPlainTextEdit>(&window, "txtBugFix");
    EXPECT_EQ(bugFix->toPlainText(), QStringLiteral("fixed\n"));  // an empty last line
    EXPECT_EQ(bugFix->document()->blockCount(), 2);
    EXPECT_EQ(child<QPlainTextEdit>(&window, "txtNote")->toPlainText(), QStringLiteral("note"));
    EXPECT_TRUE(funz->isReadOnly());

    list->setCurrentIndex(1);  // the second record of the same name shows its own data
    EXPECT_EQ(child<QLabel>(&window, "lblVers")->text(), QStringLiteral("5.0.0"));
    EXPECT_EQ(child<QLabel>(&window, "lblArticoli")->text(), QString());
    EXPECT_EQ(funz->toPlainText(), QString());
}

TEST_F(InfoWindowTest, NoNamedRecordLeavesThePlaceholders) {
    ResetInfoFRWTable();
    InfoFRWTable().append(named(QString(), QStringLiteral("4.0.0")));
    frmInfoFRW window;
    auto* list = child<QComboBox>(&window, "cmbFRW");
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(list->currentIndex(), -1);
    EXPECT_EQ(child<QLabel>(&window, "lblVers")->text(), frmInfoFRW::kPlaceholder);
    EXPECT_EQ(child<QLabel>(&window, "lblArticoli")->text(), frmInfoFRW::kPlaceholder);
    EXPECT_EQ(child<QLabel>(&window, "lblTipo")->text(), frmInfoFRW::kPlaceholder);
}

TEST_F(InfoWindowTest, CaptionsTranslatedAtLoad) {
    frmInfoFRW window;
    EXPECT_EQ(window.windowTitle(), GetText(1020));
    EXPECT_EQ(child<QLabel>(&window, "lblPrompt")->text(), GetText(1025));
    EXPECT_EQ(child<QLabel>(&window, "lblFileHeading")->text(), GetText(1029));
    EXPECT_EQ(child<QLabel>(&window, "lblVersHeading")->text(), GetText(1026));
    EXPECT_EQ(child<QLabel>(&window, "lblArticoliHeading")->text(), GetText(1027));
    EXPECT_EQ(child<QGroupBox>(&window, "fraFunz")->title(), GetText(1021));
    EXPECT_EQ(child<QGroupBox>(&window, "fraBugFix")->title(), GetText(1022));
    EXPECT_EQ(child<QGroupBox>(&window, "fraNote")->title(), GetText(1024));
    EXPECT_EQ(child<QPushButton>(&window, "cmdCancel")->text(), GetText(1023));
    EXPECT_EQ(child<QGroupBox>(&window, "fraTipo")->title(), GetText(1028));
}

// Opens the window through the command, reads the list while it is shown and
// closes it with its button.
int openAndClose(QWidget* owner, bool& sawModalChild) {
    int listed = -1;
    auto* poll = new QTimer(owner);
    QObject::connect(poll, &QTimer::timeout, owner, [&, poll] {
        auto* window = qobject_cast<frmInfoFRW*>(QApplication::activeModalWidget());
        if (window == nullptr)
            return;
        poll->stop();
        sawModalChild = window->isModal() && window->parentWidget() == owner;
        listed = window->findChild<QComboBox*>(QStringLiteral("cmbFRW"))->count();
        window->findChild<QPushButton*>(QStringLiteral("cmdCancel"))->click();
    });
    poll->start(10);
    FireInfoFRW(owner);
    delete poll;
    return listed;
}

TEST_F(InfoWindowTest, OpenedTwiceListsEachRecordOnce) {
    QWidget owner;
    owner.show();
    bool modal = false;
    EXPECT_EQ(openAndClose(&owner, modal), 2);
    EXPECT_TRUE(modal);
    EXPECT_EQ(openAndClose(&owner, modal), 2);
    EXPECT_TRUE(owner.findChildren<frmInfoFRW*>().isEmpty());  // unloaded after closing

    InfoFRWTable().append(named(QStringLiteral("Eeprom"), QStringLiteral("1.0.0")));
    EXPECT_EQ(openAndClose(&owner, modal), 3);  // each opening reads the table afresh
}

// The main window's "open" and "info" commands on a real encrypted package.
TEST(MainWindowPackage, OpenThenInfoShowsTheDescriptions) {
    ASSERT_TRUE(loadPackageTexts());
    QTemporaryDir root;
    resetGlobals();
    resetBootloaderSettings();
    globals().DataFolder = root.filePath(QStringLiteral("data"));
    globals().DocumentsFolder = root.filePath(QStringLiteral("docs"));
    globals().TempFolder = root.filePath(QStringLiteral("temp"));
    globals().ComPort = 3;
    ASSERT_TRUE(QDir().mkpath(globals().TempFolder));
    const QString package = root.filePath(QStringLiteral("Board.FWZ"));
    const QByteArray info =
        "{main.hex}\r\n[NOME]\r\nScheda principale\r\n[ARTICOLO1]\r\nQ1234A\r\n"
        "[FW_VER]\r\n4.02.17\r\n[FUNZIONI]\r\nuno\r\ndue\r\n{END}\r\n";
    ASSERT_TRUE(
        buildZip(package, {{"info.txt", info}, {"main.hex", kTinyHex}}, Encryption::Aes256));

    ScriptedDialogs dialogs;
    dialogs.queueFile(package);
    frmDWNFRW window(dialogs);
    window.show();
    window.toolClick(QStringLiteral("open"));
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_TRUE(window.isToolEnabled(QStringLiteral("dwn")));
    EXPECT_TRUE(window.isToolEnabled(QStringLiteral("info")));
    EXPECT_EQ(window.statusCaption(), u' ' + GetText(1012) + QStringLiteral(": Board.FWZ"));
    EXPECT_TRUE(QFile::exists(regionFilePath(QStringLiteral("progmem"))));
    EXPECT_EQ(window.session.FwVersionMajor, 4);

    QString shownName;
    QString shownFunctions;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* info = qobject_cast<frmInfoFRW*>(QApplication::activeModalWidget());
        if (info == nullptr)
            return;
        poll.stop();
        shownName = info->findChild<QComboBox*>(QStringLiteral("cmbFRW"))->currentText();
        shownFunctions = info->findChild<QPlainTextEdit*>(QStringLiteral("txtFunz"))->toPlainText();
        info->findChild<QPushButton*>(QStringLiteral("cmdCancel"))->click();
    });
    poll.start(10);
    window.toolClick(QStringLiteral("info"));
    EXPECT_EQ(shownName, QStringLiteral("Scheda principale"));
    EXPECT_EQ(shownFunctions, QStringLiteral("uno\ndue\n"));
    ResetInfoFRWTable();
    resetGlobals();
}

}  // namespace
}  // namespace dwnfrw::testing

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
