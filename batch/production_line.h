// Several boards updated at once with one package: one child process per
// board (the core keeps its settings and connection per process), a live line
// per board, one report per board and one exit code for them all.
#pragma once

#include <QList>
#include <QStringList>

#include "batch/board_port.h"

namespace dwnfrw::batch {

enum ExitCode { kSuccess = 0, kFailure = 1, kUsage = 2, kDeclined = 3 };

// The child's option that makes it report progress as numbers, one JSON
// object a line on standard output, ending with its report on one line.
inline constexpr const char* kProgressLinesOption = "progress-lines";

// Runs "update" for every port with the same arguments (everything but the
// ports) and waits for all of them. Exit code 0 only when every board
// succeeded; else the worst of theirs (failure over a declined question).
int updateBoards(const QList<BoardPort>& ports, const QStringList& updateArguments, bool json);

// The exit code that weighs more of two board outcomes.
int worseExitCode(int a, int b);

}  // namespace dwnfrw::batch
