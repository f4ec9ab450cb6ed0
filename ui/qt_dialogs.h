// The person-facing questions of the program as Qt dialogs.
#pragma once

#include <QPointer>
#include <QStringList>

#include "startup/frontend.h"

class QWidget;

namespace dwnfrw {

class QtDialogs : public UserDialogs {
  public:
    explicit QtDialogs(QWidget* parent = nullptr) : parent_(parent) {}

    // The window the dialogs are modal to; none makes them application-modal.
    void setParentWidget(QWidget* parent) { parent_ = parent; }

    MsgAnswer message(const QString& prompt, const QString& title, MsgButtons buttons,
                      MsgIcon icon) override;
    MsgAnswer messageWithDetails(const QString& prompt, const QString& title, MsgButtons buttons,
                                 MsgIcon icon, const QString& details) override;
    std::optional<QString> openFile(const OpenFileRequest& request) override;

  private:
    QPointer<QWidget> parent_;
};

// A prompt as stored (CR, or CR LF, between lines) with plain line breaks.
QString displayLines(const QString& prompt);

// The file dialog's name filters for a "description|pattern|description|pattern"
// filter text; patterns may be joined with ";".
QStringList qtNameFilters(const QString& filter);

// Loads Qt's own translations (standard buttons, the file dialog) for a
// language code of the command line; false when Qt has none for it. English
// needs none.
bool installQtTranslations(const QString& languageCode);

}  // namespace dwnfrw
