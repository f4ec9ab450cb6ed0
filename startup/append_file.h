// Appending to a file that other processes append to as well: one append-mode
// open and one write per call, so lines from several writers never interleave.
// The platform's own calls, so that a failure keeps its system error number.
#pragma once

#include <QByteArray>
#include <QString>

namespace dwnfrw {

struct AppendResult {
    enum class Stage { Done, Open, Write };
    Stage stage = Stage::Done;
    int error = 0;  // the system's error number; 0 when a write stopped short unexplained
};

// Appends bytes to the file at path, created when missing. With no bytes, only
// checks that the file can be opened for appending.
AppendResult appendToFile(const QString& path, const QByteArray& bytes);

}  // namespace dwnfrw
