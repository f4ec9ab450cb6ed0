#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

#include "tests/ui/ui_test_support.h"
#include "ui/qt_dialogs.h"

namespace dwnfrw {
namespace {

// Long enough for a dialog to open on a busy machine; a dialog that never
// shows must not hang the test run.
constexpr int kDialogDeadlineMs = 5000;
constexpr int kPollMs = 10;

// Runs `act` on the first modal dialog of type Dialog once it is open; gives
// up (closing every dialog) at the deadline.
template <typename Dialog>
void whenOpen(std::function<void(Dialog*)> act) {
    auto* poll = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, act] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        const bool late = clock->elapsed() > kDialogDeadlineMs;
        if (dialog == nullptr && !late)
            return;
        poll->stop();
        poll->deleteLater();
        delete clock;
        if (dialog != nullptr) {
            act(dialog);
        } else {
            ADD_FAILURE() << "no dialog opened";
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* open = qobject_cast<QDialog*>(widget))
                    open->reject();
            }
        }
    });
    poll->start(kPollMs);
}

TEST(QtDialogsTest, PromptLinesBecomeLineBreaks) {
    EXPECT_EQ(displayLines(QStringLiteral("uno\rdue\r\ntre\n")), QStringLiteral("uno\ndue\ntre\n"));
    EXPECT_EQ(displayLines(QString()), QString());
}

TEST(QtDialogsTest, FilterTextBecomesNameFilters) {
    struct {
        const char* filter;
        QStringList expected;
    } cases[] = {
        {"Pacchetti firmware  (*.Fwz) |*.fwz", {"Pacchetti firmware (*.fwz)"}},
        {"Immagini|*.hex;*.HEX|Tutti|*.*", {"Immagini (*.hex *.HEX)", "Tutti (*.*)"}},
        {" (*.Fwz) |*.fwz", {"(*.fwz)"}},
        {"Nessun modello|", {}},
        {"", {}},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(qtNameFilters(QString::fromLatin1(row.filter)), row.expected) << row.filter;
    }
}

TEST(QtDialogsTest, MessageShowsPromptTitleIconAndAnswersTheButtonPressed) {
    struct {
        const char* name;
        MsgButtons buttons;
        MsgIcon icon;
        QMessageBox::Icon shownIcon;
        QMessageBox::StandardButton press;  // NoButton: Escape
        MsgAnswer answer;
    } cases[] = {
        {"yes", MsgButtons::YesNo, MsgIcon::Question, QMessageBox::Question, QMessageBox::Yes,
         MsgAnswer::Yes},
        {"no", MsgButtons::YesNo, MsgIcon::Question, QMessageBox::Question, QMessageBox::No,
         MsgAnswer::No},
        {"escape on yes/no", MsgButtons::YesNo, MsgIcon::None, QMessageBox::NoIcon,
         QMessageBox::NoButton, MsgAnswer::No},
        {"yes, default no", MsgButtons::YesNoDefaultNo, MsgIcon::Question, QMessageBox::Question,
         QMessageBox::Yes, MsgAnswer::Yes},
        {"escape, default no", MsgButtons::YesNoDefaultNo, MsgIcon::Question, QMessageBox::Question,
         QMessageBox::NoButton, MsgAnswer::No},
        {"ok", MsgButtons::Ok, MsgIcon::Critical, QMessageBox::Critical, QMessageBox::Ok,
         MsgAnswer::Ok},
        {"escape on ok", MsgButtons::Ok, MsgIcon::Information, QMessageBox::Information,
         QMessageBox::NoButton, MsgAnswer::Ok},
        {"cancel", MsgButtons::OkCancel, MsgIcon::Exclamation, QMessageBox::Warning,
         QMessageBox::Cancel, MsgAnswer::Cancel},
    };
    QWidget owner;
    QtDialogs dialogs(&owner);
    for (const auto& row : cases) {
        QWidget* shownParent = nullptr;
        QString shownDetails;
        QString shownText;
        QString shownTitle;
        QMessageBox::Icon shownIcon = QMessageBox::NoIcon;
        QMessageBox::StandardButton shownDefault = QMessageBox::NoButton;
        whenOpen<QMessageBox>([&](QMessageBox* box) {
            shownParent = box->parentWidget();
            shownDetails = box->detailedText();
            shownText = box->text();
            shownTitle = box->windowTitle();
            shownIcon = box->icon();
            shownDefault = box->standardButton(box->defaultButton());
            if (row.press == QMessageBox::NoButton) {
                box->reject();
            } else {
                box->button(row.press)->click();
            }
        });
        const MsgAnswer answer = dialogs.messageWithDetails(
            QStringLiteral("Riga uno\rRiga due"), QStringLiteral("Titolo"), row.buttons, row.icon,
            QStringLiteral("Porta: COM3\rFase: scrittura"));
        EXPECT_EQ(answer, row.answer) << row.name;
        EXPECT_EQ(shownText, QStringLiteral("Riga uno\nRiga due")) << row.name;
        EXPECT_EQ(shownParent, &owner) << row.name;
        EXPECT_EQ(shownDetails, QStringLiteral("Porta: COM3\nFase: scrittura")) << row.name;
        EXPECT_EQ(shownTitle, QStringLiteral("Titolo")) << row.name;
        EXPECT_EQ(shownIcon, row.shownIcon) << row.name;
        // The first button is the default one, unless No is asked for.
        const QMessageBox::StandardButton expectedDefault =
            row.buttons == MsgButtons::YesNo            ? QMessageBox::Yes
            : row.buttons == MsgButtons::YesNoDefaultNo ? QMessageBox::No
                                                        : QMessageBox::Ok;
        EXPECT_EQ(shownDefault, expectedDefault) << row.name;
    }
}

TEST(QtDialogsTest, OpenFileOffersTheRequestAndReportsCancel) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString package = QDir(folder.path()).filePath(QStringLiteral("fw.fwz"));
    QFile file(package);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();

    OpenFileRequest request;
    request.title = QStringLiteral("Apri pacchetto");
    request.initialFolder = folder.path();
    request.filter = QStringLiteral("Pacchetti  (*.Fwz) |*.fwz");

    QWidget owner;
    owner.show();
    QtDialogs dialogs(&owner);
    QWidget* parent = nullptr;
    QString typedName = QStringLiteral("unread");
    QString title;
    QString directory;
    QStringList filters;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    whenOpen<QFileDialog>([&](QFileDialog* dialog) {
        parent = dialog->parentWidget();
        typedName = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text();
        title = dialog->windowTitle();
        directory = dialog->directory().absolutePath();
        filters = dialog->nameFilters();
        mode = dialog->fileMode();
        dialog->selectFile(package);
        static_cast<QDialog*>(dialog)->accept();
    });
    const std::optional<QString> chosen = dialogs.openFile(request);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(QFileInfo(*chosen).canonicalFilePath(), QFileInfo(package).canonicalFilePath());
    EXPECT_EQ(title, request.title);
    EXPECT_EQ(QDir(directory).canonicalPath(), QDir(folder.path()).canonicalPath());
    EXPECT_EQ(filters, QStringList{QStringLiteral("Pacchetti (*.fwz)")});
    EXPECT_EQ(parent, &owner);
    EXPECT_EQ(typedName, QString());
    EXPECT_EQ(mode, QFileDialog::ExistingFile);

    whenOpen<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
    EXPECT_FALSE(dialogs.openFile(request).has_value());
}

}  // namespace
}  // namespace dwnfrw
