// What start-up needs from the windowed program: the single-instance lock, the
// application object, Qt's translations and the main window, with every
// dialog owned by that window.
#pragma once

#include <QApplication>
#include <memory>

#include "startup/modgen.h"
#include "startup/single_instance.h"
#include "ui/frmDWNFRW.h"
#include "ui/qt_dialogs.h"

namespace dwnfrw {

class ProgramHost : public StartupHost {
  public:
    ProgramHost(int& argc, char** argv) : argc_(argc), argv_(argv) {}

    bool anotherCopyRunning() override;
    void prepareGui() override;
    void showMessage(const QString& text) override;
    void showMainWindow() override;

    int exec() { return app_ ? QApplication::exec() : 0; }
    frmDWNFRW* window() const { return window_.get(); }

  private:
    int& argc_;
    char** argv_;
    SingleInstance instance_;
    std::unique_ptr<QApplication> app_;
    QtDialogs dialogs_;
    std::unique_ptr<frmDWNFRW> window_;
};

}  // namespace dwnfrw
