// Start-up of the program (Main): single instance, command line, language,
// folders, device profile, then the main window.
#pragma once

#include <QString>

namespace dwnfrw {

// What start-up needs from the outside world; the executable gives it the
// real lock, message box and window, the tests give it recorders.
class StartupHost {
  public:
    virtual ~StartupHost() = default;
    virtual bool anotherCopyRunning() = 0;
    // Called once the program will show something (message or window).
    virtual void prepareGui() = 0;
    virtual void showMessage(const QString& text) = 0;  // only an OK button
    virtual void showMainWindow() = 0;
};

enum class StartupEnd {
    AnotherCopy,       // silent
    EmptyCommandLine,  // silent
    MissingSetting,    // silent: no language or port 0
    LanguageFailed,    // after the message
    NoHomeFolder,      // after the message: the data folders would land under "/"
    WindowShown,       // the program lives as long as the window
};

StartupEnd Main(const QString& commandLine, StartupHost& host);

}  // namespace dwnfrw
