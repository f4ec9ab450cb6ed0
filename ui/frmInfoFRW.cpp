#include "ui/frmInfoFRW.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "package/info_display.h"
#include "package/modgestfrw.h"
#include "ui/translate_form.h"

namespace dwnfrw {

namespace {

const char* const kTagProperty = "Tag";

constexpr int kMinimumWidthPx = 520;

// A heading or caption with the number of the text that replaces it at load.
template <typename Widget>
Widget* marked(Widget* widget, const char* objectName, int textNumber) {
    widget->setObjectName(QString::fromLatin1(objectName));
    if (textNumber > 0)
        widget->setProperty(kTagProperty, textNumber);
    return widget;
}

QPlainTextEdit* makeTextBox(const char* objectName, QWidget* parent) {
    auto* box = new QPlainTextEdit(parent);
    box->setObjectName(QString::fromLatin1(objectName));
    box->setReadOnly(true);
    return box;
}

QGroupBox* frameAround(QWidget* inner, const char* objectName, const QString& caption,
                       int textNumber, QWidget* parent) {
    auto* frame = marked(new QGroupBox(caption, parent), objectName, textNumber);
    auto* layout = new QVBoxLayout(frame);
    inner->setParent(frame);
    layout->addWidget(inner);
    return frame;
}

}  // namespace

frmInfoFRW::frmInfoFRW(QWidget* owner) : QDialog(owner) {
    setObjectName(QStringLiteral("frmInfoFRW"));
    setWindowTitle(QStringLiteral("Informazioni file firmware"));
    setProperty(kTagProperty, 1020);
    setMinimumWidth(kMinimumWidthPx);

    auto* prompt = marked(
        new QLabel(QStringLiteral(
                       "Selezionare il Firmware desiderato per vedere le informazioni relative:"),
                   this),
        "lblPrompt", 1025);
    prompt->setWordWrap(true);
    auto* fileHeading = marked(new QLabel(QStringLiteral("FILE"), this), "lblFileHeading", 1029);
    cmbFRW_ = marked(new QComboBox(this), "cmbFRW", 0);
    auto* versHeading =
        marked(new QLabel(QStringLiteral("VERSIONE FIRMWARE"), this), "lblVersHeading", 1026);
    lblVers_ = marked(new QLabel(kPlaceholder, this), "lblVers", 0);
    auto* articoliHeading =
        marked(new QLabel(QStringLiteral("ARTICOLI "), this), "lblArticoliHeading", 1027);
    lblArticoli_ = marked(new QLabel(kPlaceholder, this), "lblArticoli", 0);

    txtFunz_ = makeTextBox("txtFunz", this);
    txtBugFix_ = makeTextBox("txtBugFix", this);
    txtNote_ = makeTextBox("txtNote", this);
    auto* fraFunz = frameAround(txtFunz_, "fraFunz", QStringLiteral("FUNZIONI"), 1021, this);
    auto* fraBugFix = frameAround(txtBugFix_, "fraBugFix", QStringLiteral("BUG FIX"), 1022, this);
    auto* fraNote = frameAround(txtNote_, "fraNote", QStringLiteral("NOTE"), 1024, this);
    lblTipo_ = marked(new QLabel(kPlaceholder, this), "lblTipo", 0);
    // Every heading speaks the session's language, the file type's included.
    auto* fraTipo = frameAround(lblTipo_, "fraTipo", QStringLiteral("TIPO FILE"), 1028, this);
    cmdCancel_ = marked(new QPushButton(QStringLiteral("CHIUDI"), this), "cmdCancel", 1023);

    auto* fields = new QGridLayout;
    fields->addWidget(fileHeading, 0, 0);
    fields->addWidget(cmbFRW_, 0, 1);
    fields->addWidget(versHeading, 1, 0);
    fields->addWidget(lblVers_, 1, 1);
    fields->addWidget(articoliHeading, 2, 0);
    fields->addWidget(lblArticoli_, 2, 1);
    fields->setColumnStretch(1, 1);

    // Package texts are shown as written, never read as markup.
    for (QLabel* display : {lblVers_, lblArticoli_, lblTipo_})
        display->setTextFormat(Qt::PlainText);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(fraTipo, 1);
    buttons->addWidget(cmdCancel_, 0, Qt::AlignBottom);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(prompt);
    layout->addLayout(fields);
    layout->addWidget(fraFunz);
    layout->addWidget(fraBugFix);
    layout->addWidget(fraNote);
    layout->addLayout(buttons);

    TranslateForm(this);
    connect(cmdCancel_, &QPushButton::clicked, this, &QDialog::reject);
    fillList();
}

void frmInfoFRW::fillList() {
    const QList<InfoFRW>& table = InfoFRWTable();
    for (qsizetype index = 0; index < table.size(); ++index) {
        if (!table[index].Nome.isEmpty())
            cmbFRW_->addItem(table[index].Nome, int(index));
    }
    connect(cmbFRW_, &QComboBox::currentIndexChanged, this, &frmInfoFRW::showRecord);
    if (cmbFRW_->count() > 0) {
        cmbFRW_->setCurrentIndex(0);
        showRecord(0);
    }
}

void frmInfoFRW::showRecord(int entry) {
    if (entry < 0)
        return;
    const QList<InfoFRW>& table = InfoFRWTable();
    const int index = cmbFRW_->itemData(entry).toInt();
    if (index < 0 || index >= table.size())
        return;
    const InfoDisplay shown = describeInfoRecord(table[index]);
    lblArticoli_->setText(shown.articoli);
    lblVers_->setText(shown.fwVer);
    txtFunz_->setPlainText(shown.funzioni);
    txtBugFix_->setPlainText(shown.bugFix);
    txtNote_->setPlainText(shown.note);
    lblTipo_->setText(shown.tipo);
}

void FireInfoFRW(QWidget* owner) {
    frmInfoFRW window(owner);
    window.exec();
}

}  // namespace dwnfrw
