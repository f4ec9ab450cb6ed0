// What the virtual board and the chip bench share on their command lines:
// the terminal's link and the line faults, with one meaning for both.
#pragma once

#include <QCommandLineOption>
#include <QString>

namespace vboard {

QCommandLineOption linkOption();
QCommandLineOption corruptOption();
QCommandLineOption dropOption();
QCommandLineOption seedOption();

// A fraction from 0 to 1.
bool parseRate(const QString& text, double& rate);

// A symbolic link at linkPath to the terminal, replacing what stood there.
bool linkTerminal(const QString& linkPath, const QString& devicePath, QString* error);
// Removes the link when it is still ours: another board may have taken the
// name since.
void unlinkTerminal(const QString& linkPath, const QString& devicePath);

}  // namespace vboard
