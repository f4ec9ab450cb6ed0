// The executable: start-up decides, then the main window shows and dispatches.
#include <QApplication>
#include <QMessageBox>
#include <memory>

#include "startup/command_line.h"
#include "startup/modgen.h"
#include "startup/single_instance.h"
#include "ui/frmDWNFRW.h"
#include "ui/qt_dialogs.h"

namespace {

class ProgramHost : public dwnfrw::StartupHost {
  public:
    ProgramHost(int& argc, char** argv) : argc_(argc), argv_(argv) {}

    bool anotherCopyRunning() override { return !instance_.acquire(); }

    void prepareGui() override {
        app_ = std::make_unique<QApplication>(argc_, argv_);
        QApplication::setApplicationName(QStringLiteral("dwnfrw"));
    }

    void showMessage(const QString& text) override {
        QMessageBox::information(nullptr, QStringLiteral("dwnfrw"), text, QMessageBox::Ok);
    }

    void showMainWindow() override {
        window_ = std::make_unique<dwnfrw::frmDWNFRW>(dialogs_);
        window_->show();
    }

    int exec() { return app_ ? QApplication::exec() : 0; }

  private:
    int& argc_;
    char** argv_;
    dwnfrw::SingleInstance instance_;
    std::unique_ptr<QApplication> app_;
    dwnfrw::QtDialogs dialogs_;
    std::unique_ptr<dwnfrw::frmDWNFRW> window_;
};

}  // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    ProgramHost host(argc, argv);
    if (dwnfrw::Main(dwnfrw::joinArguments(arguments), host) != dwnfrw::StartupEnd::WindowShown) {
        return 0;
    }
    return host.exec();
}
