// Shared pieces of the fuzz targets: one scratch folder per fuzzing process,
// the application object that serial ports need, and a peer on a
// pseudo-terminal that answers a request with the fuzzer's bytes.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

namespace dwnfrw::fuzz {

// A folder of this process, made on first use and removed at exit. Every
// iteration reuses it, so a long run leaves no trail of folders behind.
const QString& scratchFolder();

// Writes bytes as the whole content of path; false when it cannot.
bool writeFile(const QString& path, const QByteArray& bytes);

inline QByteArray bytesOf(const uint8_t* data, size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

// A QCoreApplication for the targets that open serial ports; made once.
void ensureApplication();

// The board end of a pseudo-terminal. The host opens devicePath(); for each
// exchange the peer waits on its own thread until the host's request stands
// complete, then answers with the bytes it was given.
class PtyPeer {
  public:
    // Length of the complete request at the front of the bytes received, or
    // 0 while it is not complete yet.
    using RequestLength = std::function<size_t(const QByteArray& received)>;
    // The answer to a complete request.
    using Answer = std::function<QByteArray(const QByteArray& request)>;

    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool ok() const { return master_ >= 0; }
    const QString& devicePath() const { return devicePath_; }

    // Starts serving one exchange.
    void serve(RequestLength requestLength, Answer answer);
    // Waits until the answer of the exchange is written (or the request never
    // came within kRequestWaitMs); true when it was answered.
    bool finish();

    // Long enough for a host that is slowed down by the sanitizers.
    static constexpr int kRequestWaitMs = 5000;

  private:
    void run(const RequestLength& requestLength, const Answer& answer);

    int master_ = -1;
    // Held open so that the master never sees a hang-up between two host opens.
    int slave_ = -1;
    QString devicePath_;
    std::thread thread_;
    bool answered_ = false;
};

}  // namespace dwnfrw::fuzz
