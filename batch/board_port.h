// A port as the batch front end is given it: a number ("3", "COM3") or a
// device path, and what it stands for on this machine now.
#pragma once

#include <QString>
#include <optional>

namespace dwnfrw::batch {

struct BoardPort {
    QString label;              // "COM3", or the device path as given (absolute)
    std::optional<int> number;  // the COM number; none for a device path
    QString device;             // the device it reaches now (links followed)

    // The folder-name part that keeps this port's files apart, one of its own
    // for every port: "COM3", or the device path escaped ("-dev-ttyACM0").
    QString folderTag() const;
};

// "3", "COM3" (any case) or a device path; none for a number outside 1..64.
std::optional<BoardPort> boardPort(const QString& text);

}  // namespace dwnfrw::batch
