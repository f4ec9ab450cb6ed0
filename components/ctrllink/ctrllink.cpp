#include "ctrllink.h"

#include <QList>
#include <algorithm>
#include <limits>

#include "platform/serial_line.h"

namespace ctrllink {

namespace {

using dwnfrw::serial::Clock;

constexpr int kWriteTimeoutMs = 1000;
constexpr int kTenthsOfSecondMs = 100;
constexpr int kMaxAnswerBytes = 64;

QByteArray checksum(const QByteArray& body) {
    unsigned char sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    return QByteArray::number(sum, 16).toUpper().rightJustified(2, '0');
}

QByteArray frameAnswer(const QByteArray& body) {
    return '#' + body + '*' + checksum(body) + '\r';
}

QString hexBytes(const QByteArray& bytes) {
    QString text;
    for (unsigned char c : bytes) {
        if (!text.isEmpty())
            text += QLatin1Char(' ');
        text += QStringLiteral("%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return text;
}

struct Answer {
    bool valid = false;
    bool isError = false;
    QList<int32_t> values;
};

// One answer line without its CR: "#V,..*HH" or "#E,..*HH".
Answer parseAnswer(const QByteArray& line) {
    Answer answer;
    const qsizetype star = line.lastIndexOf('*');
    if (!line.startsWith('#') || star < 0 || line.size() != star + 3)
        return answer;
    const QByteArray body = line.mid(1, star - 1);
    if (checksum(body) != line.mid(star + 1, 2))
        return answer;
    const QList<QByteArray> fields = body.split(',');
    if (fields.isEmpty())
        return answer;
    const bool isVersion = fields[0] == "V" && fields.size() == 4;
    const bool isError = fields[0] == "E" && fields.size() == 2;
    if (!isVersion && !isError)
        return answer;
    for (qsizetype i = 1; i < fields.size(); ++i) {
        bool ok = false;
        const int32_t value = fields[i].toInt(&ok);
        if (!ok)
            return answer;
        answer.values.append(value);
    }
    // The application's codes are 0 or more. A negative one would land on our
    // own LinkError values after the offset (-100 would read as success) and a
    // huge one would overflow it, so such an answer counts as noise.
    if (isError && (answer.values[0] < 0 ||
                    answer.values[0] > std::numeric_limits<int32_t>::max() - kLinkDeviceError))
        return answer;
    answer.valid = true;
    answer.isError = isError;
    return answer;
}

}  // namespace

struct CtrlLinkClient::Private {
    dwnfrw::serial::SerialLine line;
};

QByteArray identificationRequest() {
    return QByteArrayLiteral("$V?\r");
}

QByteArray versionAnswer(int32_t version, int32_t build, int32_t brand) {
    return frameAnswer("V," + QByteArray::number(version) + ',' + QByteArray::number(build) + ',' +
                       QByteArray::number(brand));
}

QByteArray errorAnswer(int32_t code) {
    return frameAnswer("E," + QByteArray::number(code));
}

CtrlLinkClient::CtrlLinkClient() : d_(std::make_unique<Private>()) {}
CtrlLinkClient::~CtrlLinkClient() = default;

bool CtrlLinkClient::Open() {
    d_->line.close();
    return d_->line.open(QStringLiteral("COM%1").arg(PortNumber), BaudRate);
}

void CtrlLinkClient::ReadVersion(int32_t& version, int32_t& build, int32_t& brand,
                                 int32_t& linkError) {
    version = build = brand = 0;
    if (!d_->line.isOpen()) {
        linkError = kLinkNotOpen;
        return;
    }
    const int attempts = std::max(1, SettingB);
    const auto answerTimeout = std::chrono::milliseconds(std::max(1, SettingA) * kTenthsOfSecondMs);
    const QByteArray request = identificationRequest();

    for (int attempt = 0; attempt < attempts; ++attempt) {
        d_->line.clearInput();
        if (LinkLogging && logSink)
            logSink(QStringLiteral("LINK TX: ") + hexBytes(request));
        if (!d_->line.write(request, Clock::now() + std::chrono::milliseconds(kWriteTimeoutMs))) {
            linkError = kLinkWriteFailed;
            return;
        }
        // Collect lines until a valid answer or the attempt's deadline; noise
        // and broken answers are skipped.
        const Clock::time_point deadline = Clock::now() + answerTimeout;
        QByteArray pending;
        while (d_->line.isOpen()) {
            if (stopCheck && stopCheck()) {
                linkError = kLinkStopped;
                return;
            }
            const Clock::time_point slice =
                stopCheck
                    ? std::min(deadline, Clock::now() + std::chrono::milliseconds(kStopCheckMs))
                    : deadline;
            const QByteArray more = d_->line.readSome(slice);
            if (more.isEmpty()) {
                if (Clock::now() < deadline)
                    continue;
                break;
            }
            pending += more;
            qsizetype cr;
            while ((cr = pending.indexOf('\r')) >= 0) {
                const QByteArray lineText = pending.left(cr);
                pending.remove(0, cr + 1);
                const qsizetype start = lineText.lastIndexOf('#');
                if (start < 0)
                    continue;
                const Answer answer = parseAnswer(lineText.mid(start));
                if (!answer.valid)
                    continue;
                if (LinkLogging && logSink) {
                    logSink(QStringLiteral("LINK RX: ") + QString::fromLatin1(lineText.mid(start)));
                }
                if (answer.isError) {
                    linkError = kLinkDeviceError + answer.values[0];
                } else {
                    version = answer.values[0];
                    build = answer.values[1];
                    brand = answer.values[2];
                    linkError = kLinkOk;
                }
                return;
            }
            if (pending.size() > kMaxAnswerBytes)
                pending = pending.right(kMaxAnswerBytes);
        }
        if (!d_->line.isOpen())
            break;
    }
    if (LinkLogging && logSink)
        logSink(QStringLiteral("LINK RX: nessuna risposta"));
    linkError = kLinkNoAnswer;
}

void CtrlLinkClient::Close(bool& closed) {
    closed = d_->line.isOpen();
    d_->line.close();
}

}  // namespace ctrllink
