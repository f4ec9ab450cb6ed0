#include <QAbstractButton>
#include <QAbstractProxyModel>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

#include "tests/ui/ui_test_support.h"
#include "ui/qt_dialogs.h"

namespace dwnfrw {
namespace {

// Long enough for a dialog to open on a busy machine; a dialog that never
// shows or never closes must fail the test, not hang the test run.
constexpr int kDialogDeadlineMs = 10000;
constexpr int kPollMs = 10;
// After this long still alive, a dialog the act closed is taken to have been
// closed before its own event loop ran.
constexpr int kStillOpenMs = 200;

// Runs `act` on the first modal dialog of type Dialog once it shows, and keeps
// watching it until the call that opened it has returned and the dialog is
// gone. A dialog closed while it was still being shown, before its event loop
// ran, would wait for ever: it is closed again with the act's result. At the
// deadline every dialog is closed and the test fails.
template <typename Dialog>
class DialogWatch : public QObject {
  public:
    // Owned by the application, so a watch whose test ended before its last
    // poll goes with the application instead of leaking.
    explicit DialogWatch(std::function<void(Dialog*)> act)
        : QObject(QCoreApplication::instance()), act_(std::move(act)) {
        clock_.start();
        QObject::connect(&poll_, &QTimer::timeout, this, [this] { poll(); });
        poll_.start(kPollMs);
    }

  private:
    void poll() {
        if (acted_ && !dialog_) {
            deleteLater();  // the call returned and its dialog went with it
            poll_.stop();
            return;
        }
        if (clock_.elapsed() > kDialogDeadlineMs) {
            if (!failed_)
                ADD_FAILURE() << (acted_ ? "the dialog did not close" : "no dialog opened");
            failed_ = true;
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* open = qobject_cast<QDialog*>(widget)) {
                    open->setVisible(true);
                    open->reject();
                }
            }
            if (!acted_) {
                deleteLater();
                poll_.stop();
            }
            return;
        }
        if (!acted_) {
            auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr || !dialog->isVisible())
                return;
            acted_ = true;
            dialog_ = dialog;
            act_(dialog);
            result_ = dialog->result();
            actedAtMs_ = clock_.elapsed();
            return;
        }
        if (clock_.elapsed() - actedAtMs_ <= kStillOpenMs)
            return;
        auto* onTop = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (onTop != nullptr && onTop != dialog_)
            onTop->reject();
        dialog_->setVisible(true);
        static_cast<QDialog*>(dialog_.data())->done(result_);
        actedAtMs_ = clock_.elapsed();
    }

    std::function<void(Dialog*)> act_;
    QTimer poll_;
    QElapsedTimer clock_;
    QPointer<Dialog> dialog_;
    bool acted_ = false;
    bool failed_ = false;
    qint64 actedAtMs_ = 0;
    int result_ = QDialog::Rejected;
};

template <typename Dialog>
void whenOpen(std::function<void(Dialog*)> act) {
    new DialogWatch<Dialog>(std::move(act));
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
        {"ok", MsgButtons::Ok, MsgIcon::Critical, QMessageBox::Critical, QMessageBox::Ok,
         MsgAnswer::Ok},
        {"escape on ok", MsgButtons::Ok, MsgIcon::Information, QMessageBox::Information,
         QMessageBox::NoButton, MsgAnswer::Ok},
        {"cancel", MsgButtons::OkCancel, MsgIcon::Exclamation, QMessageBox::Warning,
         QMessageBox::Cancel, MsgAnswer::Cancel},
        {"yes where no is the default", MsgButtons::YesNoDefaultNo, MsgIcon::Exclamation,
         QMessageBox::Warning, QMessageBox::Yes, MsgAnswer::Yes},
        {"escape where no is the default", MsgButtons::YesNoDefaultNo, MsgIcon::Exclamation,
         QMessageBox::Warning, QMessageBox::NoButton, MsgAnswer::No},
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
        // The first button is the default one, unless the safe answer is No.
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
        // The whole path as typed: the dialog may still be reading its
        // folder, and a bare name would not be found in it yet.
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(package);
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

// The file list's dates and sizes follow the session's language, whatever
// the desktop's: a date in Italian under ITA, in English under ENG.
TEST(QtDialogsTest, OpenFileShowsDatesAndSizesInTheSessionsLanguage) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString package = QDir(folder.path()).filePath(QStringLiteral("fw.fwz"));
    QFile file(package);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(2048, 'x'));
    file.close();
    const QLocale before;
    OpenFileRequest request;
    request.initialFolder = folder.path();
    QtDialogs dialogs;
    for (const auto& [code, language] :
         {std::pair{"ITA", QLocale::Italian}, std::pair{"ENG", QLocale::English}}) {
        ASSERT_TRUE(installQtTranslations(QString::fromLatin1(code)));
        const QLocale session(language);
        QString date;
        QString size;
        whenOpen<QFileDialog>([&](QFileDialog* dialog) {
            auto* proxy = dialog->proxyModel();
            auto* files = proxy ? qobject_cast<QFileSystemModel*>(proxy->sourceModel()) : nullptr;
            if (files != nullptr) {
                const QModelIndex name = proxy->mapFromSource(files->index(package));
                size = proxy->index(name.row(), 1, name.parent()).data().toString();
                date = proxy->index(name.row(), 3, name.parent()).data().toString();
            }
            dialog->reject();
        });
        dialogs.openFile(request);
        const QDateTime modified = QFileInfo(package).lastModified();
        EXPECT_EQ(date, session.toString(modified, QLocale::ShortFormat)) << code;
        EXPECT_EQ(size, session.formattedDataSize(2048)) << code;
    }
    QLocale::setDefault(before);
}

}  // namespace
}  // namespace dwnfrw
