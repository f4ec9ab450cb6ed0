// Runs the real dwnfrw-batch executable in a scratch home of its own: ports,
// data, documents and the single-instance lock all live in a temporary folder,
// so the tests never touch the user's data and can run side by side.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

namespace dwnfrw::testing {

// A whole update of the tests' small image takes about two seconds (two
// one-second pauses of the run); anything near this limit is a hang.
inline constexpr int kBatchRunTimeoutMs = 60000;

struct BatchResult {
    bool finished = false;
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    // The whole standard output as one JSON object; empty when it is not one.
    QJsonObject json() const {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(out, &error);
        return error.error == QJsonParseError::NoError ? document.object() : QJsonObject();
    }
};

class BatchScratch {
  public:
    BatchScratch() {
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert(QStringLiteral("HOME"), root_.filePath(QStringLiteral("home")));
        environment_.insert(QStringLiteral("XDG_DATA_HOME"),
                            root_.filePath(QStringLiteral("data")));
        environment_.insert(QStringLiteral("DWNFRW_INSTANCE_LOCK"), lockPath());
        environment_.insert(QStringLiteral("DWNFRW_PORTS"),
                            root_.filePath(QStringLiteral("ports")));
    }

    bool valid() const { return root_.isValid(); }
    QString path(const QString& name) const { return root_.filePath(name); }
    QString lockPath() const { return root_.filePath(QStringLiteral("dwnfrw.lock")); }
    void setPortsFolder(const QString& folder) {
        environment_.insert(QStringLiteral("DWNFRW_PORTS"), folder);
    }

    // Starts the program; prepare (if given) runs on the QProcess before the start.
    void start(QProcess& process, const QStringList& arguments,
               const std::function<void(QProcess&)>& prepare = {}) const {
        process.setProcessEnvironment(environment_);
        process.setWorkingDirectory(root_.path());
        if (prepare)
            prepare(process);
        process.start(QStringLiteral(DWNFRW_BATCH_EXE), arguments);
    }

    BatchResult run(const QStringList& arguments) const {
        QProcess process;
        start(process, arguments);
        return collect(process);
    }

    static BatchResult collect(QProcess& process) {
        BatchResult result;
        result.finished = process.waitForFinished(kBatchRunTimeoutMs) &&
                          process.exitStatus() == QProcess::NormalExit;
        if (!result.finished)
            process.kill();
        process.waitForFinished();
        result.exitCode = process.exitCode();
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

  private:
    QTemporaryDir root_;
    QProcessEnvironment environment_;
};

inline std::ostream& operator<<(std::ostream& out, const BatchResult& result) {
    return out << "exit " << result.exitCode << "\n--- stdout\n"
               << result.out.toStdString() << "\n--- stderr\n"
               << result.err.toStdString();
}

}  // namespace dwnfrw::testing
