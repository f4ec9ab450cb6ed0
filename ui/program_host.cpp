#include "ui/program_host.h"

#include <QMessageBox>

#include "startup/globals.h"

namespace dwnfrw {

bool ProgramHost::anotherCopyRunning() {
    return !instance_.acquire();
}

void ProgramHost::prepareGui() {
    app_ = std::make_unique<QApplication>(argc_, argv_);
    QApplication::setApplicationName(QStringLiteral("dwnfrw"));
}

void ProgramHost::showMessage(const QString& text) {
    QMessageBox::information(nullptr, QStringLiteral("dwnfrw"), text, QMessageBox::Ok);
}

void ProgramHost::showMainWindow() {
    // Standard buttons and the file dialog speak the session's language;
    // without Qt's translations for it they stay in English.
    installQtTranslations(globals().LanguageCode);
    window_ = std::make_unique<frmDWNFRW>(dialogs_);
    // Every message box and the file dialog belong to the window and open
    // centred on it.
    dialogs_.setParentWidget(window_.get());
    window_->show();
}

}  // namespace dwnfrw
