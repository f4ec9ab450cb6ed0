// The link component's answer parsing, fed with any bytes as the running
// application's answer. Like the bootloader target it drives the real
// component over a pseudo-terminal: the peer answers the identification
// request with the fuzzer's bytes, then a line break and a valid answer, so
// each call ends at once.
#include <QDir>
#include <QFile>
#include <cstdio>
#include <cstdlib>

#include "components/ctrllink/ctrllink.h"
#include "fuzz/fuzz_support.h"

namespace {

using dwnfrw::fuzz::PtyPeer;

constexpr int32_t kPortNumber = 7;
// Two seconds: the call ends on the final answer long before.
constexpr int32_t kAnswerTimeoutTenths = 20;

PtyPeer& peer() {
    static PtyPeer instance;
    return instance;
}

ctrllink::CtrlLinkClient& client() {
    static ctrllink::CtrlLinkClient instance;
    return instance;
}

QStringList& logged() {
    static QStringList lines;
    return lines;
}

// The component's wire texts, written out here: its helpers for them are not
// exported from the library.
const QByteArray kRequest = QByteArrayLiteral("$V?\r");
const QByteArray kFinalAnswer = QByteArrayLiteral("#V,1,2,3*4A\r");

size_t requestLength(const QByteArray& received) {
    const qsizetype at = received.indexOf(kRequest);
    return at < 0 ? 0 : static_cast<size_t>(at + kRequest.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dwnfrw::fuzz::ensureApplication();
    if (!peer().ok())
        abort();
    // The component finds "COM<n>" through a link in the ports folder.
    const QString ports = QDir(dwnfrw::fuzz::scratchFolder()).filePath(QStringLiteral("ports"));
    QDir().mkpath(ports);
    const QString link = QDir(ports).filePath(QStringLiteral("COM%1").arg(kPortNumber));
    if (!QFile::link(peer().devicePath(), link))
        abort();
    qputenv("DWNFRW_PORTS", QFile::encodeName(ports));

    ctrllink::CtrlLinkClient& c = client();
    c.PortNumber = kPortNumber;
    c.BaudRate = 115200;
    c.SettingA = kAnswerTimeoutTenths;
    c.SettingB = 1;
    c.LinkLogging = true;
    c.logSink = [](const QString& line) { logged() << line; };
    if (!c.Open()) {
        fprintf(stderr, "cannot open the link on %s\n", qPrintable(peer().devicePath()));
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray fuzzed = dwnfrw::fuzz::bytesOf(data, size);
    peer().serve(requestLength,
                 [&fuzzed](const QByteArray&) { return fuzzed + '\r' + kFinalAnswer; });
    int32_t version = -1, build = -1, brand = -1, linkError = -1;
    client().ReadVersion(version, build, brand, linkError);
    if (!peer().finish())
        abort();
    // The final answer is always valid, so the call never reports silence.
    if (linkError == ctrllink::kLinkNoAnswer || linkError == ctrllink::kLinkNotOpen ||
        linkError == ctrllink::kLinkWriteFailed)
        abort();
    if (linkError != ctrllink::kLinkOk && (version != 0 || build != 0 || brand != 0))
        abort();  // an error answer leaves the three values at 0
    // Success comes only from a version answer: the peer's final one, or one
    // among the fuzzer's bytes.
    if (linkError == ctrllink::kLinkOk && !fuzzed.contains("#V") &&
        (version != 1 || build != 2 || brand != 3))
        abort();
    logged().clear();
    return 0;
}
