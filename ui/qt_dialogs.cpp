#include "ui/qt_dialogs.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QIdentityProxyModel>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QRegularExpression>
#include <QTranslator>

namespace dwnfrw {

namespace {

QMessageBox::Icon qtIcon(MsgIcon icon) {
    switch (icon) {
        case MsgIcon::Critical:
            return QMessageBox::Critical;
        case MsgIcon::Question:
            return QMessageBox::Question;
        case MsgIcon::Exclamation:
            return QMessageBox::Warning;
        case MsgIcon::Information:
            return QMessageBox::Information;
        case MsgIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons qtButtons(MsgButtons buttons) {
    switch (buttons) {
        case MsgButtons::OkCancel:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case MsgButtons::YesNo:
        case MsgButtons::YesNoDefaultNo:
            return QMessageBox::Yes | QMessageBox::No;
        case MsgButtons::Ok:
            break;
    }
    return QMessageBox::Ok;
}

// The first button is the default, as in the boxes the texts were written for,
// unless the question's safe answer is its second.
QMessageBox::StandardButton defaultButton(MsgButtons buttons) {
    switch (buttons) {
        case MsgButtons::YesNo:
            return QMessageBox::Yes;
        case MsgButtons::YesNoDefaultNo:
            return QMessageBox::No;
        case MsgButtons::Ok:
        case MsgButtons::OkCancel:
            break;
    }
    return QMessageBox::Ok;
}

// A box closed without a button (Escape, the close box) answers as its
// refusing button.
MsgAnswer refusal(MsgButtons buttons) {
    switch (buttons) {
        case MsgButtons::OkCancel:
            return MsgAnswer::Cancel;
        case MsgButtons::YesNo:
        case MsgButtons::YesNoDefaultNo:
            return MsgAnswer::No;
        case MsgButtons::Ok:
            break;
    }
    return MsgAnswer::Ok;
}

// The file list's sizes and dates in the session's language: Qt's own model
// renders them in the desktop's.
class SessionLocaleFiles : public QIdentityProxyModel {
  public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override {
        auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
        if (role != Qt::DisplayRole || files == nullptr || index.column() == kNameColumn)
            return QIdentityProxyModel::data(index, role);
        const QFileInfo info = files->fileInfo(mapToSource(index));
        const QLocale locale;
        if (index.column() == kSizeColumn && info.isFile())
            return locale.formattedDataSize(info.size());
        if (index.column() == kDateColumn)
            return locale.toString(info.lastModified(), QLocale::ShortFormat);
        return QIdentityProxyModel::data(index, role);
    }

  private:
    // The columns of Qt's file model.
    static constexpr int kNameColumn = 0;
    static constexpr int kSizeColumn = 1;
    static constexpr int kDateColumn = 3;
};

}  // namespace

QString displayLines(const QString& prompt) {
    QString text = prompt;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

QStringList qtNameFilters(const QString& filter) {
    // A description often already shows its pattern, "Packages (*.Fwz)"; Qt
    // appends the pattern itself, so drop the shown one.
    static const QRegularExpression shownPattern(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts.at(i).trimmed();
        description.remove(shownPattern);
        QStringList patterns = parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& pattern : patterns) {
            pattern = pattern.trimmed();
        }
        patterns.removeAll(QString());
        if (patterns.isEmpty()) {
            continue;
        }
        const QString shown = QLatin1Char('(') + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
        filters.append(description.isEmpty() ? shown : description + QLatin1Char(' ') + shown);
    }
    return filters;
}

MsgAnswer QtDialogs::message(const QString& prompt, const QString& title, MsgButtons buttons,
                             MsgIcon icon) {
    return messageWithDetails(prompt, title, buttons, icon, QString());
}

MsgAnswer QtDialogs::messageWithDetails(const QString& prompt, const QString& title,
                                        MsgButtons buttons, MsgIcon icon, const QString& details) {
    QMessageBox box(qtIcon(icon), title, displayLines(prompt), qtButtons(buttons), parent_);
    box.setDefaultButton(defaultButton(buttons));
    if (!details.isEmpty())
        box.setDetailedText(displayLines(details));
    box.exec();
    switch (box.standardButton(box.clickedButton())) {
        case QMessageBox::Ok:
            return MsgAnswer::Ok;
        case QMessageBox::Cancel:
            return MsgAnswer::Cancel;
        case QMessageBox::Yes:
            return MsgAnswer::Yes;
        case QMessageBox::No:
            return MsgAnswer::No;
        default:
            return refusal(buttons);
    }
}

std::optional<QString> QtDialogs::openFile(const OpenFileRequest& request) {
    QFileDialog dialog(parent_, request.title);
    // Qt's own dialog speaks the session's language with the rest of the
    // program; a desktop's dialog would follow the desktop's.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setProxyModel(new SessionLocaleFiles(&dialog));
    dialog.setDirectory(request.initialFolder);
    // Packages come from a platform whose file names ignore letter case, and
    // the opening accepts ".FWZ" in any case.
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(request.pathMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    const QStringList filters = qtNameFilters(request.filter);
    if (!filters.isEmpty()) {
        dialog.setNameFilters(filters);
    }
    if (!request.fileName.isEmpty()) {
        dialog.selectFile(request.fileName);
    }
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) {
        return QString();
    }
    return chosen.first();
}

// The program's language codes and Qt's names of the same languages.
struct QtLanguage {
    const char* code;
    const char* qtName;
};
constexpr QtLanguage kQtLanguages[] = {
    {"ITA", "it"}, {"ENG", "en"}, {"FRA", "fr"}, {"DEU", "de"}, {"ESP", "es"},
};

bool installQtTranslations(const QString& languageCode) {
    const char* qtName = nullptr;
    for (const QtLanguage& language : kQtLanguages) {
        if (languageCode.compare(QLatin1String(language.code), Qt::CaseInsensitive) == 0)
            qtName = language.qtName;
    }
    if (qtName == nullptr)
        return false;
    // Dates and sizes Qt renders follow the session's language too.
    QLocale::setDefault(QLocale(QLatin1String(qtName)));
    // One language at a time: the one installed before gives way.
    static QPointer<QTranslator> installed;
    delete installed;
    // Qt's texts are English already; the translator is only needed for others.
    if (qstrcmp(qtName, "en") == 0)
        return true;
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_") + QLatin1String(qtName),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    installed = translator;
    return true;
}

}  // namespace dwnfrw
