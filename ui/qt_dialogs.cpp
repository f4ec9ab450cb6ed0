#include "ui/qt_dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QRegularExpression>

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
            return QMessageBox::Yes | QMessageBox::No;
        case MsgButtons::Ok:
            break;
    }
    return QMessageBox::Ok;
}

// The first button is the default, as in the boxes the texts were written for.
QMessageBox::StandardButton firstButton(MsgButtons buttons) {
    return buttons == MsgButtons::YesNo ? QMessageBox::Yes : QMessageBox::Ok;
}

// A box closed without a button (Escape, the close box) answers as its
// refusing button.
MsgAnswer refusal(MsgButtons buttons) {
    switch (buttons) {
        case MsgButtons::OkCancel:
            return MsgAnswer::Cancel;
        case MsgButtons::YesNo:
            return MsgAnswer::No;
        case MsgButtons::Ok:
            break;
    }
    return MsgAnswer::Ok;
}

}  // namespace

QString displayLines(const QString& prompt) {
    QString text = prompt;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// Packages come from a platform whose file names ignore letter case, and the
// opening accepts ".FWZ" in any case: the dialog shows every spelling.
QString anyLetterCase(const QString& pattern) {
    QString out;
    for (const QChar c : pattern) {
        if (c.isLetter() && c.toLower() != c.toUpper()) {
            out += QLatin1Char('[') + c.toLower() + c.toUpper() + QLatin1Char(']');
        } else {
            out += c;
        }
    }
    return out;
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
            pattern = anyLetterCase(pattern.trimmed());
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
    QMessageBox box(qtIcon(icon), title, displayLines(prompt), qtButtons(buttons), parent_);
    box.setDefaultButton(firstButton(buttons));
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
    QFileDialog dialog(parent_, request.title, request.initialFolder);
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

}  // namespace dwnfrw
