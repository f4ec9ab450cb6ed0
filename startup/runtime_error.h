// A run-time error as the program's procedures raise it: a number and a
// description that reaches the user unchanged.
#pragma once

#include <QString>
#include <stdexcept>

namespace dwnfrw {

// Number of the error that a caller raises when an operation returned false;
// its description is the operation's failure text.
inline constexpr int kOperationFailedError = 10001;

class RunTimeError : public std::runtime_error {
  public:
    RunTimeError(int number, const QString& description)
        : std::runtime_error(description.toStdString()),
          number_(number),
          description_(description) {}

    int number() const { return number_; }
    const QString& description() const { return description_; }

  private:
    int number_;
    QString description_;
};

}  // namespace dwnfrw
