// The update from the real main window on the offscreen platform: a package
// opened with "open", the run started with "dwn", the virtual board on COM3.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
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
    expectIdleWindow();
    const vboard::ImageCheck check = checkBoard();
    EXPECT_TRUE(check.equal) << check.report.toStdString();
    EXPECT_TRUE(window_->isVisible());
}

// Esc, the key of "stop", pressed while line 2 of program memory shows.
TEST_F(WindowRunTest, StopFromTheWindowEndsInTheFailureReport) {
    startBoard(application(3, 0, 7));
    openPackage();
    const QString secondLine = testing::textWith(1102, QStringLiteral("2"));
    QAction* stop = find<QAction>("stop");
    ASSERT_NE(stop, nullptr);
    bool pressed = false;
    // A zero interval fires at every yield, so no line goes by unseen.
    QTimer watch;
    watch.setInterval(0);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!pressed && find<QLabel>("lblOpe")->text() == secondLine && stop->isEnabled()) {
            pressed = true;
            QTest::keyClick(window_.get(), Qt::Key_Escape);
        }
    });
    fe_.dialogs.onMessage = [&](const testing::ShownMessage& shown) {
        if (shown.prompt.startsWith(GetText(1001)))
            watch.start();
        else
            watch.stop();
    };

    window_->toolClick(QStringLiteral("dwn"));

    ASSERT_TRUE(pressed);
    ASSERT_EQ(fe_.dialogs.messages.size(), 2u);
    EXPECT_EQ(fe_.dialogs.messages.back().prompt,
              failureReport(GetText(1005) + u'\r' + GetText(1134)));
    EXPECT_EQ(fe_.dialogs.messages.back().icon, MsgIcon::Critical);
    expectIdleWindow();
    // The application's entry block stays erased: a stopped run never starts it.
    EXPECT_EQ(board().read(kProgramBase, 16),
              QByteArray(8, '\xFF') + testing::lineBytes(kProgramBase).mid(8));
    EXPECT_EQ(board().read(kProgramBase + 16, 16), QByteArray(16, '\xFF'));
    // Erased and not finished: the status pane says so until an update succeeds.
    EXPECT_EQ(find<QLabel>("lblRunNote")->text(), GetText(1167));
    EXPECT_TRUE(find<QLabel>("lblRunNote")->isVisibleTo(window_.get()));
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

// The pictures of the documentation, taken by scripts/screenshot.sh under a
// virtual X server: a write pass with the overall progress, a failure with its
// details, and the Italian window asking a question. Skipped unless
// DWNFRW_PICTURES_DIR names the folder for them.
TEST_F(WindowRunTest, PicturesForTheDocumentation) {
    const QDir pictures(qEnvironmentVariable("DWNFRW_PICTURES_DIR"));
    if (qEnvironmentVariableIsEmpty("DWNFRW_PICTURES_DIR"))
        GTEST_SKIP() << "DWNFRW_PICTURES_DIR is not set";
    QString code = QStringLiteral("ENG");
    QString message;
    ASSERT_TRUE(LoadLanguage(brandProductId(0), code, message)) << message.toStdString();
    window_ = std::make_unique<frmDWNFRW>(fe_.dialogs);
    window_->show();
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
    vboard::BoardOptions options = application(3, 0, 7);
    options.paced = true;
    startBoard(options);
    openPackage();

    const QString pictureLine = testing::textWith(1102, QString::number(kLines / 2));
    const QString unplugLine = testing::textWith(1102, QString::number(kLines * 3 / 4));
    bool progressTaken = false;
    QTimer watch;
    watch.setInterval(0);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString operation = find<QLabel>("lblOpe")->text();
        if (!progressTaken && operation == pictureLine) {
            progressTaken = true;
            savePicture(window_.get(), nullptr, pictures.filePath(QStringLiteral("progress.png")));
        } else if (progressTaken && operation == unplugLine) {
            watch.stop();
            board().unplug();
        }
    });
    fe_.dialogs.onMessage = [&](const testing::ShownMessage& shown) {
        if (shown.prompt.startsWith(GetText(1001)))
            watch.start();
        else if (shown.icon == MsgIcon::Critical)
            pictureOfMessage(window_.get(), shown,
                             pictures.filePath(QStringLiteral("failure.png")));
    };
    window_->toolClick(QStringLiteral("dwn"));
    EXPECT_TRUE(progressTaken);

    // The Italian window and its close question, with Qt's own texts in Italian.
    code = QStringLiteral("ITA");
    ASSERT_TRUE(LoadLanguage(brandProductId(0), code, message)) << message.toStdString();
    ASSERT_TRUE(installQtTranslations(code));
    window_ = std::make_unique<frmDWNFRW>(fe_.dialogs);
    window_->show();
    pictureOfMessage(window_.get(),
                     {GetText(1092), GetText(1002), MsgButtons::YesNo, MsgIcon::Question, {}},
                     pictures.filePath(QStringLiteral("italian.png")));
}

}  // namespace
}  // namespace dwnfrw
