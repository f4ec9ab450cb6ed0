// One running copy of the program at a time.
#pragma once

#include <QString>
#include <memory>

class QLockFile;

namespace dwnfrw {

// Holds a lock file for the life of the program. The lock records the owner's
// process, so a copy that crashed never blocks the next start.
class SingleInstance {
  public:
    // lockPath empty: DWNFRW_INSTANCE_LOCK when set, else a per-user file in
    // the temporary folder.
    explicit SingleInstance(const QString& lockPath = QString());
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when this copy is the only one running.
    bool acquire();

  private:
    std::unique_ptr<QLockFile> lock_;
};

}  // namespace dwnfrw
