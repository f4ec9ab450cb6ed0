// Line reading shared by the HEX reader, the region merge and the write
// passes: a line ends at CR, LF or CR LF, and the last line needs no end; and
// the reading of the hexadecimal numbers in those lines.
#pragma once

#include <QByteArray>
#include <QFile>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace dwnfrw {

// Value of an ASCII hexadecimal digit, or -1.
constexpr std::array<int8_t, 256> makeHexValues() {
    std::array<int8_t, 256> values{};
    for (int c = 0; c < 256; ++c)
        values[c] = -1;
    for (int d = 0; d < 10; ++d)
        values['0' + d] = static_cast<int8_t>(d);
    for (int d = 0; d < 6; ++d) {
        values['A' + d] = static_cast<int8_t>(10 + d);
        values['a' + d] = static_cast<int8_t>(10 + d);
    }
    return values;
}
inline constexpr std::array<int8_t, 256> kHexValues = makeHexValues();

inline int hexValue(char c) {
    return kHexValues[static_cast<unsigned char>(c)];
}

// The number written by the leading hexadecimal digits of at most maxChars
// characters from text[at]; 0 when there are none.
inline uint32_t leadingHex(std::string_view text, size_t at, size_t maxChars) {
    uint32_t value = 0;
    for (size_t i = at; i < at + maxChars && i < text.size(); ++i) {
        const int digit = hexValue(text[i]);
        if (digit < 0)
            break;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return value;
}

// Lines of a file read in pieces through one reused buffer, so a large file
// costs no more memory than its longest line and a piece. A line stays valid
// until the next read.
class FileLineReader {
  public:
    static constexpr qsizetype kPieceBytes = 64 * 1024;

    explicit FileLineReader(QFile& file) : file_(file), buffer_(kPieceBytes, Qt::Uninitialized) {}

    bool read(std::string_view& line) {
        qsizetype scanFrom = start_;
        for (;;) {
            const char* data = buffer_.constData();
            qsizetype stop = scanFrom;
            while (stop < end_ && data[stop] != '\r' && data[stop] != '\n')
                ++stop;
            // A CR at the end of the piece may be the first half of CR LF.
            const bool needMore = stop == end_ || (data[stop] == '\r' && stop + 1 == end_);
            if (needMore && !atEnd_) {
                scanFrom = stop - start_;
                fill();
                scanFrom += start_;
                continue;
            }
            if (stop == start_ && stop == end_)
                return false;
            line = std::string_view(data + start_, static_cast<size_t>(stop - start_));
            qsizetype next = stop;
            if (next < end_ && data[next] == '\r')
                ++next;
            if (next < end_ && data[next] == '\n' && (next == stop || data[next - 1] == '\r')) {
                ++next;
            }
            start_ = next;
            ++number_;
            return true;
        }
    }

    // Number of the line read last, counted from 1.
    int number() const { return number_; }
    // True when reading the file failed (as opposed to reaching its end).
    bool failed() const { return failed_; }

  private:
    void fill() {
        if (start_ > 0) {
            std::memmove(buffer_.data(), buffer_.constData() + start_,
                         static_cast<size_t>(end_ - start_));
            end_ -= start_;
            start_ = 0;
        }
        if (end_ == buffer_.size())
            buffer_.resize(buffer_.size() * 2);  // a very long line
        const qint64 got = file_.read(buffer_.data() + end_, buffer_.size() - end_);
        if (got <= 0) {
            atEnd_ = true;
            failed_ = got < 0;
            return;
        }
        end_ += static_cast<qsizetype>(got);
    }

    QFile& file_;
    QByteArray buffer_;
    qsizetype start_ = 0;
    qsizetype end_ = 0;
    bool atEnd_ = false;
    bool failed_ = false;
    int number_ = 0;
};

}  // namespace dwnfrw
