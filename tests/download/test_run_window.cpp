// The update from the real main window on the offscreen platform: a package
// opened with "open", the run started with "dwn", the virtual board on COM3.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolTip>
#include <memory>

#include "tests/download/run_fixture.h"
#include "ui/frmDWNFRW.h"
#include "ui/qt_dialogs.h"

namespace dwnfrw {
namespace {

using testing::failureReport;
using testing::kProgramBase;

// Polls the window while the run pumps its events.
constexpr int kWatchIntervalMs = 10;

class WindowRunTest : public testing::RunFixture {
  protected:
    void SetUp() override {
        RunFixture::SetUp();
        if (HasFatalFailure())
            return;
        globals().DocumentsFolder = data_.filePath(QStringLiteral("documents"));
        image_ = testing::smallImageHex();
        package_ = data_.filePath(QStringLiteral("update.fwz"));
        ASSERT_TRUE(testing::buildZip(
            package_,
            {{QStringLiteral("info.txt"),
              testing::infoBlock(QStringLiteral("fw.hex"), QStringLiteral("4.1.7"),
                                 QStringLiteral("Centralina"))},
             {QStringLiteral("fw.hex"), image_}},
            testing::Encryption::Aes256));
        window_ = std::make_unique<frmDWNFRW>(fe_.dialogs);
        window_->show();
        // Keys reach the window's shortcuts only while it is the active one.
        window_->activateWindow();
    }

    void TearDown() override {
        window_.reset();
        RunFixture::TearDown();
    }

    void openPackage() {
        fe_.dialogs.queueFile(package_);
        window_->toolClick(QStringLiteral("open"));
        ASSERT_TRUE(window_->isToolEnabled(QStringLiteral("dwn")))
            << (fe_.dialogs.messages.empty() ? std::string()
                                             : fe_.dialogs.messages.back().prompt.toStdString());
        fe_.dialogs.messages.clear();
        bootloaderSettings().ReadTimeout = testing::kTestReadTimeoutMs;
    }

    QMap<QString, bool> toolStates() const {
        QMap<QString, bool> states = testing::idleToolbarAfterRun();
        for (auto it = states.begin(); it != states.end(); ++it)
            it.value() = window_->isToolEnabled(it.key());
        return states;
    }

    template <typename T>
    T* find(const char* name) const {
        return window_->findChild<T*>(QString::fromLatin1(name));
    }

    void expectIdleWindow() {
        EXPECT_EQ(toolStates(), testing::idleToolbarAfterRun());
        EXPECT_TRUE(find<QLabel>("lblOpe")->text().isEmpty());
        EXPECT_TRUE(find<QLabel>("lblPercent")->text().isEmpty());
        EXPECT_FALSE(find<QProgressBar>("pbr1")->isVisibleTo(window_.get()));
        EXPECT_EQ(find<QProgressBar>("pbr1")->value(), 0);
        EXPECT_FALSE(window_->tmrtime->isActive());
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    }

    QString package_;
    std::unique_ptr<frmDWNFRW> window_;
};

TEST_F(WindowRunTest, UpdateFromConfirmationToSuccess) {
    startBoard(application(3, 0, 7));
    openPackage();

    // What the window shows while the run lets it process its events.
    QMap<QString, bool> toolsDuringRun;
    bool closeRefused = false;
    QStringList clockTexts;
    QStringList overallBarMissing;
    QSet<QString> overallSeen;
    QTimer watch;
    watch.setInterval(kWatchIntervalMs);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (toolsDuringRun.isEmpty()) {
            toolsDuringRun = toolStates();
            closeRefused = !window_->close();
        }
        const QString percent = find<QLabel>("lblPercent")->text();
        if (!percent.isEmpty() && !clockTexts.contains(percent))
            clockTexts.append(percent);
        // The whole run's bar, in every phase the status band names.
        const QString overall = find<QLabel>("lblOverall")->text();
        if (!overall.isEmpty() && !find<QProgressBar>("pbrOverall")->isVisible())
            overallBarMissing.append(overall);
        else if (!overall.isEmpty())
            overallSeen.insert(overall.section(u':', 0, 0));
    });
    fe_.dialogs.onMessage = [&](const testing::ShownMessage& shown) {
        if (shown.prompt.startsWith(GetText(1001)))
            watch.start();
        else
            watch.stop();
    };

    window_->toolClick(QStringLiteral("dwn"));

    ASSERT_EQ(fe_.dialogs.messages.size(), 2u);
    EXPECT_EQ(fe_.dialogs.messages.back().prompt, GetText(1006));
    QMap<QString, bool> onlyStop = testing::idleToolbarAfterRun();
    for (auto it = onlyStop.begin(); it != onlyStop.end(); ++it)
        it.value() = it.key() == QLatin1String("stop");
    EXPECT_EQ(toolsDuringRun, onlyStop);
    EXPECT_TRUE(closeRefused) << "closing is refused, without a question, while the run goes";
    // The pause after the loader entry lets the clock's first tick through.
    EXPECT_TRUE(clockTexts.contains(RunClock::clockText(1000)))
        << clockTexts.join(u'|').toStdString();
    EXPECT_TRUE(overallBarMissing.isEmpty()) << overallBarMissing.join(u'|').toStdString();
    EXPECT_FALSE(overallSeen.isEmpty()) << "the watch saw the run's phases";
    EXPECT_FALSE(find<QProgressBar>("pbrOverall")->isVisible()) << "gone when the run ends";
    expectIdleWindow();
    const vboard::ImageCheck check = checkBoard();
    EXPECT_TRUE(check.equal) << check.report.toStdString();
    EXPECT_TRUE(window_->isVisible());
}

// Esc pressed while line 2 of program memory shows does nothing: a stray key
// must not leave the board erased. The stop button, clicked as line 3 shows,
// stops the run; closing afterwards warns of the erased board.
TEST_F(WindowRunTest, OnlyTheStopCommandStopsAndClosingWarnsOfTheErasedBoard) {
    startBoard(application(3, 0, 7));
    openPackage();
    const QString secondLine = testing::textWith(1102, QStringLiteral("2"));
    const QString thirdLine = testing::textWith(1102, QStringLiteral("3"));
    QAction* stop = find<QAction>("stop");
    ASSERT_NE(stop, nullptr);
    EXPECT_TRUE(stop->shortcuts().isEmpty());
    bool escPressed = false;
    bool clicked = false;
    // A zero interval fires at every yield, so no line goes by unseen.
    QTimer watch;
    watch.setInterval(0);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString operation = find<QLabel>("lblOpe")->text();
        if (!escPressed && operation == secondLine && stop->isEnabled()) {
            escPressed = true;
            QTest::keyClick(window_.get(), Qt::Key_Escape);
            EXPECT_FALSE(globals().StopRequested) << "Esc stopped the run";
        } else if (!clicked && operation == thirdLine) {
            clicked = true;
            auto* toolbar = find<QToolBar>("Band1");
            QTest::mouseClick(toolbar->widgetForAction(stop), Qt::LeftButton);
        }
    });
    fe_.dialogs.onMessage = [&](const testing::ShownMessage& shown) {
        if (shown.prompt.startsWith(GetText(1001)))
            watch.start();
        else
            watch.stop();
    };

    window_->toolClick(QStringLiteral("dwn"));

    ASSERT_TRUE(escPressed);
    ASSERT_TRUE(clicked);
    ASSERT_EQ(fe_.dialogs.messages.size(), 2u);
    EXPECT_EQ(fe_.dialogs.messages.back().prompt,
              failureReport(GetText(1005) + u'\r' + GetText(1134)));
    EXPECT_EQ(fe_.dialogs.messages.back().icon, MsgIcon::Critical);
    expectIdleWindow();
    // The application's entry block stays erased: a stopped run never starts it.
    EXPECT_EQ(board().read(kProgramBase, 32), QByteArray(8, '\xFF') +
                                                  testing::lineBytes(kProgramBase).mid(8) +
                                                  testing::lineBytes(kProgramBase + 16));
    EXPECT_EQ(board().read(kProgramBase + 32, 16), QByteArray(16, '\xFF'));
    // Erased and not finished: the panel says so, whole, until an update succeeds.
    auto* note = find<QLabel>("lblRunNote");
    EXPECT_EQ(note->text(), GetText(1167));
    EXPECT_TRUE(note->isVisibleTo(window_.get()));
    QApplication::processEvents();
    EXPECT_GE(note->width(), note->sizeHint().width());
    // The window writes the log's lines without a port column.
    const QStringList lines = logTexts();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.first(),
              QStringLiteral("AGGIORNAMENTO porta COM3, pacchetto %1, versione 4.1.7")
                  .arg(QFileInfo(package_).absoluteFilePath()));
    EXPECT_TRUE(lines.last().startsWith(QLatin1String("ESITO: aggiornamento fermato: ")));

    // Closing now asks with the warning, and No is the default answer.
    fe_.dialogs.messages.clear();
    fe_.dialogs.queueAnswer(MsgAnswer::No);
    EXPECT_FALSE(window_->close());
    ASSERT_EQ(fe_.dialogs.messages.size(), 1u);
    EXPECT_EQ(fe_.dialogs.messages.front().prompt, GetText(1226));
    EXPECT_EQ(fe_.dialogs.messages.front().buttons, MsgButtons::YesNoDefaultNo);
    EXPECT_TRUE(window_->isVisible());
}

// Saves the window and the dialog above it as the screen shows them.
void savePicture(QWidget* window, QWidget* dialog, const QString& path) {
    QRect area = window->frameGeometry();
    if (dialog != nullptr)
        area = area.united(dialog->frameGeometry());
    const QPixmap picture =
        window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    EXPECT_TRUE(picture.save(path, "PNG")) << path.toStdString();
}

// Shows a real message box over the window, with its details open, and saves
// a picture of both before closing it with its first button.
void pictureOfMessage(QWidget* window, const testing::ShownMessage& shown, const QString& path) {
    QTimer::singleShot(0, window, [window, path] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        for (QAbstractButton* button : box->buttons()) {
            if (box->buttonRole(button) == QMessageBox::ActionRole)
                button->click();  // "Show Details..."
        }
        QApplication::processEvents();
        savePicture(window, box, path);
        if (QAbstractButton* refusing = box->escapeButton())
            refusing->click();
        else
            box->reject();
    });
    QtDialogs real(window);
    real.messageWithDetails(shown.prompt, shown.title, shown.buttons, shown.icon, shown.details);
}

// The port list open, its marks showing which ports have a device now, with
// the tool tip of an absent port. The list reaches far below the window, over
// a screen nothing paints: the picture is put together from the window, the
// list's first rows and the tool tip.
void pictureOfPorts(QWidget* window, const QString& path) {
    auto* list = window->findChild<QComboBox*>(QStringLiteral("comport"));
    ASSERT_NE(list, nullptr);
    list->showPopup();
    QApplication::processEvents();
    QAbstractItemView* view = list->view();
    const QModelIndex absent = list->model()->index(3, 0);  // COM4: no board
    const QPoint at = view->viewport()->mapToGlobal(view->visualRect(absent).center());
    QToolTip::showText(at, absent.data(Qt::ToolTipRole).toString(), view->viewport());
    QTest::qWait(300);
    QList<QWidget*> shown{window, view->window()};
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->isVisible() && top->inherits("QTipLabel"))
            shown.append(top);
    }
    const QRect client(window->mapToGlobal(QPoint(0, 0)), window->size());
    QRect area;
    for (QWidget* widget : shown)
        area = area.united(QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size()));
    area.setBottom(qMin(area.bottom(), client.bottom() + 140));
    QPixmap picture(area.size());
    picture.fill(QColor(0xd8, 0xd8, 0xd8));
    QPainter painter(&picture);
    for (QWidget* widget : shown)
        painter.drawPixmap(widget->mapToGlobal(QPoint(0, 0)) - area.topLeft(), widget->grab());
    painter.end();
    EXPECT_TRUE(picture.save(path, "PNG")) << path.toStdString();
    QToolTip::hideText();
    list->hidePopup();
}

// The pictures of the documentation, taken by scripts/screenshot.sh under a
// virtual X server, in English and in Italian: a write pass with the overall
// progress, a failure with its details and the note it leaves, the port list
// with its marks, the About box, and the Italian close question. Skipped
// unless DWNFRW_PICTURES_DIR names the folder for them.
TEST_F(WindowRunTest, PicturesForTheDocumentation) {
    const QDir pictures(qEnvironmentVariable("DWNFRW_PICTURES_DIR"));
    if (qEnvironmentVariableIsEmpty("DWNFRW_PICTURES_DIR"))
        GTEST_SKIP() << "DWNFRW_PICTURES_DIR is not set";
    // A longer program, written at the board's own pace, so that the rate is
    // measured by the time the picture is taken.
    constexpr int kLines = 60;
    image_ = testing::smallImageHex(kLines);
    ASSERT_TRUE(
        testing::buildZip(package_,
                          {{QStringLiteral("info.txt"),
                            testing::infoBlock(QStringLiteral("fw.hex"), QStringLiteral("4.1.7"),
                                               QStringLiteral("Centralina"))},
                           {QStringLiteral("fw.hex"), image_}},
                          testing::Encryption::Aes256));
    for (const char* language : {"ENG", "ITA"}) {
        const bool italian = qstrcmp(language, "ITA") == 0;
        // "progress" and "progress-italian", and so on.
        const auto picture = [&](const char* name) {
            return pictures.filePath(QLatin1String(name) + (italian ? QStringLiteral("-italian.png")
                                                                    : QStringLiteral(".png")));
        };
        QString code = QString::fromLatin1(language);
        QString message;
        ASSERT_TRUE(LoadLanguage(brandProductId(0), code, message)) << message.toStdString();
        ASSERT_TRUE(installQtTranslations(code));
        window_ = std::make_unique<frmDWNFRW>(fe_.dialogs);
        window_->show();
        vboard::BoardOptions options = application(3, 0, 7);
        options.paced = true;
        port_.reset();  // the board of the English run, and its link, go first
        startBoard(options);
        fe_.dialogs.messages.clear();
        openPackage();

        pictureOfPorts(window_.get(), picture("ports"));

        const QString pictureLine = testing::textWith(1102, QString::number(kLines / 2));
        const QString unplugLine = testing::textWith(1102, QString::number(kLines * 3 / 4));
        bool progressTaken = false;
        QTimer watch;
        watch.setInterval(0);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            const QString operation = find<QLabel>("lblOpe")->text();
            if (!progressTaken && operation == pictureLine) {
                progressTaken = true;
                savePicture(window_.get(), nullptr, picture("progress"));
            } else if (progressTaken && operation == unplugLine) {
                watch.stop();
                board().unplug();
            }
        });
        fe_.dialogs.onMessage = [&](const testing::ShownMessage& shown) {
            if (shown.prompt.startsWith(GetText(1001)))
                watch.start();
            else if (shown.icon == MsgIcon::Critical)
                pictureOfMessage(window_.get(), shown, picture("failure"));
        };
        window_->toolClick(QStringLiteral("dwn"));
        fe_.dialogs.onMessage = nullptr;
        EXPECT_TRUE(progressTaken)
            << language << ": "
            << (fe_.dialogs.messages.empty() ? std::string()
                                             : fe_.dialogs.messages.back().prompt.toStdString());
        // The note the failed run leaves, whole, below the panel's bars.
        QApplication::processEvents();
        savePicture(window_.get(), nullptr, picture("note"));

        fe_.dialogs.messages.clear();
        find<QAction>("about")->trigger();
        ASSERT_EQ(fe_.dialogs.messages.size(), 1u);
        pictureOfMessage(window_.get(), fe_.dialogs.messages.front(), picture("about"));
        if (italian) {
            // The close question, with Qt's own texts in Italian.
            pictureOfMessage(
                window_.get(),
                {GetText(1092), GetText(1002), MsgButtons::YesNo, MsgIcon::Question, {}},
                pictures.filePath(QStringLiteral("italian.png")));
        }
    }
}

}  // namespace
}  // namespace dwnfrw
