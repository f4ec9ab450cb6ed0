// Link component: talks to the board's running application firmware over the
// serial port and reads who it is (firmware version, build, brand code).
//
// Use: set PortNumber, BaudRate, SettingA, LinkLogging, SettingB; Open;
// ReadVersion; Close. The wire exchange is in docs/link-protocol.md.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#if defined(_WIN32)
#if defined(CTRLLINK_BUILDING)
#define CTRLLINK_API __declspec(dllexport)
#else
#define CTRLLINK_API __declspec(dllimport)
#endif
#else
#define CTRLLINK_API __attribute__((visibility("default")))
#endif

namespace ctrllink {

// LinkError values of ReadVersion; 0 means the version was read.
enum LinkErrorCode : int32_t {
    kLinkOk = 0,
    kLinkNotOpen = 1,      // ReadVersion without a successful Open
    kLinkNoAnswer = 2,     // no valid answer within the attempts
    kLinkWriteFailed = 3,  // the request could not be sent
    kLinkStopped = 4,      // stopCheck asked to stop before an answer came
    // The application's own error codes arrive offset by 100 (kLinkDeviceError + code).
    kLinkDeviceError = 100,
};

class CTRLLINK_API CtrlLinkClient {
  public:
    CtrlLinkClient();
    ~CtrlLinkClient();
    CtrlLinkClient(const CtrlLinkClient&) = delete;
    CtrlLinkClient& operator=(const CtrlLinkClient&) = delete;

    // Serial port number: the port "COM<n>".
    int32_t PortNumber = 0;
    int32_t BaudRate = 9600;
    // Answer time-out of one attempt, in tenths of a second (10 = 1 s).
    int32_t SettingA = 10;
    // When true, every exchange is written to the log sink.
    bool LinkLogging = false;
    // Number of attempts of one request.
    int32_t SettingB = 6;

    // Where LinkLogging sends its lines (the program's run log). An exception
    // thrown by the sink leaves the call that logged.
    std::function<void(const QString&)> logSink;
    // When set, asked at least every kStopCheckMs while ReadVersion waits; true
    // ends ReadVersion at once with kLinkStopped.
    std::function<bool()> stopCheck;
    static constexpr int kStopCheckMs = 50;

    // Opens the serial port; true when it is open.
    bool Open();
    // Asks the application who it is. linkError 0: the three values are valid.
    void ReadVersion(int32_t& version, int32_t& build, int32_t& brand, int32_t& linkError);
    // Releases the port; closed tells whether a port was open.
    void Close(bool& closed);

  private:
    struct Private;
    std::unique_ptr<Private> d_;
};

// The identification request and the application's answer, for the board and tests.
CTRLLINK_API QByteArray identificationRequest();
// "#V,<version>,<build>,<brand>*HH\r" or "#E,<code>*HH\r"; HH is the XOR of the
// characters between '#' and '*' in two upper-case hexadecimal digits.
CTRLLINK_API QByteArray versionAnswer(int32_t version, int32_t build, int32_t brand);
CTRLLINK_API QByteArray errorAnswer(int32_t code);

}  // namespace ctrllink
