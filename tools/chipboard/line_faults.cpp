#include "tools/chipboard/line_faults.h"

#include <algorithm>

#include "components/nxpicboot/nxpic_wire.h"

namespace chipbench {

namespace wire = nxpic::wire;

LineFaults::LineFaults(double corruptRate, double dropRate, uint32_t seed)
    : faults_(corruptRate, dropRate, seed), framing_(dropRate > 0.0) {}

void LineFaults::fromHost(uint8_t byte, std::vector<uint8_t>& out) {
    byte = faults_.pass(byte, counters_);
    if (!framing_) {
        out.push_back(byte);
        return;
    }
    frameByte(byte, out);
}

// Holds back the bytes of what may be a request frame until it is whole: a
// whole frame with a good CRC may be lost; anything else goes on as it came.
void LineFaults::frameByte(uint8_t byte, std::vector<uint8_t>& out) {
    if (frame_.isEmpty()) {
        if (byte == wire::kRequestStart)
            frame_.append(char(byte));
        else
            out.push_back(byte);
        return;
    }
    frame_.append(char(byte));
    if (frame_.size() == 2) {
        const int length = uint8_t(frame_[1]);
        if (length == 0 || length > wire::kMaxRequestBodyBytes)
            release(out);
        return;
    }
    const int length = uint8_t(frame_[1]);
    if (frame_.size() < length + wire::kRequestOverheadBytes)
        return;
    const int crcAt = 2 + length;
    if (wire::crc16(frame_, 1, crcAt - 1) != wire::readCrc(frame_, crcAt)) {
        release(out);
        return;
    }
    const uint8_t command = uint8_t(frame_[2]) & 0x0F;
    const QByteArray args = frame_.mid(3, length - 1);
    switch (faults_.dropFrame()) {
        case vboard::FaultInjector::Drop::Request:
            ++counters_.droppedRequests;
            frame_.clear();
            return;
        case vboard::FaultInjector::Drop::Reply:
            ++counters_.droppedReplies;
            // An OK answer's length (a refusal carries no payload and is shorter).
            answerToLose_ =
                wire::kReplyOverheadBytes +
                std::clamp(wire::replyPayloadBytes(command, args), 0, wire::kMaxReplyPayloadBytes);
            break;
        case vboard::FaultInjector::Drop::None:
            break;
    }
    release(out);
}

void LineFaults::release(std::vector<uint8_t>& out) {
    for (char c : frame_)
        out.push_back(uint8_t(c));
    frame_.clear();
}

bool LineFaults::fromChip(uint8_t& byte) {
    if (swallowing_ == 0 && answerToLose_ > 0 && byte == wire::kReplyStart) {
        swallowing_ = answerToLose_;
        answerToLose_ = 0;
    }
    if (swallowing_ > 0) {
        --swallowing_;
        return false;
    }
    byte = faults_.pass(byte, counters_);
    return true;
}

void LineFaults::hostGone() {
    frame_.clear();
    answerToLose_ = 0;
    swallowing_ = 0;
}

}  // namespace chipbench
