#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "tests/ui/ui_test_support.h"
#include "ui/translate_form.h"

namespace dwnfrw {
namespace {

const QString kDesign = QStringLiteral("progetto");  // every designed caption

class TranslateFormTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetGlobals();
        globals().AppName = QStringLiteral("VelmorStudio");
        ASSERT_TRUE(testing::useLanguage("ITA")) << "the Italian text module is not built";
        form = std::make_unique<QWidget>();
    }
    template <typename Widget>
    Widget* add(const QVariant& tag) {
        auto* widget = new Widget(form.get());
        widget->setProperty("Tag", tag);
        return widget;
    }

    std::unique_ptr<QWidget> form;
};

TEST_F(TranslateFormTest, WindowTitleFromItsMarker) {
    struct {
        const char* name;
        QVariant tag;
        QString expected;
    } cases[] = {
        {"number", 1019, GetText(1019)},
        {"number as text", QStringLiteral("1019"), GetText(1019)},
        {"empty", QString(), kDesign},
        {"none", QVariant(), kDesign},
        {"words", QStringLiteral("titolo"), kDesign},
        {"beyond 16 bits", 40000, kDesign},
    };
    for (const auto& row : cases) {
        QWidget window;
        window.setWindowTitle(kDesign);
        window.setProperty("Tag", row.tag);
        TranslateForm(&window);
        EXPECT_EQ(window.windowTitle(), row.expected) << row.name;
    }
}

TEST_F(TranslateFormTest, CaptionsOfControlsFollowTheirTag) {
    struct {
        const char* name;
        QVariant tag;
        QString expected;
    } cases[] = {
        {"number", 1026, GetText(1026)},
        {"number as text", QStringLiteral("1026"), GetText(1026)},
        {"blanks around", QStringLiteral(" 1026 "), GetText(1026)},
        {"decimal rounds half to even", QStringLiteral("1026.5"), GetText(1026)},
        {"negative in range", -1, GetText(-1)},
        {"16-bit top", 32767, GetText(32767)},
        {"16-bit bottom", QStringLiteral("-32768"), GetText(-32768)},
        {"just above 16 bits", 32768, kDesign},
        {"just below 16 bits", -32769, kDesign},
        {"empty", QString(), kDesign},
        {"blank", QStringLiteral("  "), kDesign},
        {"words", QStringLiteral("etichetta"), kDesign},
        {"number then words", QStringLiteral("1026 x"), kDesign},
        {"no marker", QVariant(), kDesign},
    };
    for (const auto& row : cases) {
        auto* label = add<QLabel>(row.tag);
        label->setText(kDesign);
        TranslateForm(form.get());
        EXPECT_EQ(label->text(), row.expected) << row.name;
        delete label;
    }
}

TEST_F(TranslateFormTest, EachKindOfCaptionIsSet) {
    auto* button = add<QPushButton>(1023);
    auto* frame = add<QGroupBox>(1021);
    auto* label = add<QLabel>(1029);
    TranslateForm(form.get());
    EXPECT_EQ(button->text(), GetText(1023));
    EXPECT_EQ(frame->title(), GetText(1021));
    EXPECT_EQ(label->text(), GetText(1029));
}

TEST_F(TranslateFormTest, ControlsWithoutCaptionKeepTheirStateAndTheWalkGoesOn) {
    auto* edit = add<QLineEdit>(1022);
    edit->setText(kDesign);
    auto* bar = add<QProgressBar>(1022);
    bar->setValue(40);
    auto* timer = new QTimer(form.get());
    timer->setProperty("Tag", 1022);
    timer->setInterval(1000);
    // Controls made after them must still be translated.
    auto* label = add<QLabel>(1024);

    TranslateForm(form.get());
    EXPECT_EQ(edit->text(), kDesign);
    EXPECT_EQ(bar->value(), 40);
    EXPECT_EQ(timer->interval(), 1000);
    EXPECT_EQ(label->text(), GetText(1024));
}

TEST_F(TranslateFormTest, ToolTipsHoldingANumberAreTranslated) {
    struct {
        const char* name;
        QString toolTip;
        QString expected;
    } cases[] = {
        {"number", QStringLiteral("1024"), GetText(1024)},
        {"words", QStringLiteral("Porta seriale del dispositivo"),
         QStringLiteral("Porta seriale del dispositivo")},
        {"beyond 16 bits", QStringLiteral("70000"), QStringLiteral("70000")},
        {"empty", QString(), QString()},
    };
    for (const auto& row : cases) {
        // A tool tip on a control without a caption is still translated.
        auto* edit = add<QLineEdit>(QVariant());
        edit->setToolTip(row.toolTip);
        TranslateForm(form.get());
        EXPECT_EQ(edit->toolTip(), row.expected) << row.name;
        delete edit;
    }
}

TEST_F(TranslateFormTest, ToolsCountOnlyAbove0And32Bits) {
    struct {
        const char* name;
        QVariant tag;
        QString expected;
    } cases[] = {
        {"number", 1087, GetText(1087)},
        {"above 16 bits", 70000, GetText(70000)},
        {"zero (a separator)", 0, kDesign},
        {"empty", QString(), kDesign},
        {"negative", -5, kDesign},
        {"beyond 32 bits", QStringLiteral("3000000000"), kDesign},
        {"words", QStringLiteral("strumento"), kDesign},
    };
    for (const auto& row : cases) {
        auto* action = new QAction(kDesign, form.get());
        action->setProperty("Tag", row.tag);
        TranslateForm(form.get());
        EXPECT_EQ(action->text(), row.expected) << row.name;
        delete action;
    }
}

TEST_F(TranslateFormTest, CommandInToolbarAndMenuGetsBothCaptions) {
    auto* action = new QAction(kDesign, form.get());
    action->setIconText(kDesign);
    action->setProperty("Tag", 1086);
    action->setProperty("MenuTag", 1032);
    TranslateForm(form.get());
    EXPECT_EQ(action->iconText(), GetText(1086));
    EXPECT_EQ(action->text(), GetText(1032));
}

TEST_F(TranslateFormTest, ActionsOfTheWindowMadeElsewhereAreTranslated) {
    QAction foreign(kDesign);
    foreign.setProperty("Tag", 1089);
    form->addAction(&foreign);
    TranslateForm(form.get());
    EXPECT_EQ(foreign.text(), GetText(1089));
    form->removeAction(&foreign);
}

TEST_F(TranslateFormTest, NoWindowIsNoError) {
    TranslateForm(nullptr);
}

}  // namespace
}  // namespace dwnfrw
