// SPDX-License-Identifier: MIT
#pragma once

// The meter's wire protocol: command bytes, reply frames and the text of
// readings. No widgets and no timers here, so the window, the tests, the
// simulator and the tools all share this one implementation.

#include <QByteArray>
#include <QString>

#include <optional>

namespace meter {

enum Command : quint8 {
    cmdQueryWavelength = 0x7A,
    cmdNextWavelength = 0x7B,
    cmdMeasure = 0x82,
};

constexpr int frameSize = 4;
constexpr int writeWaitMs = 100;      // how long a command write is awaited
constexpr int replyGapMs = 50;        // silence that ends a short frame
constexpr int replyDeadlineMs = 1000; // a reply later than this is given up

enum class ReplyKind { Wavelength, Power };

// The wavelengths optical power meters use; another device's bytes seldom
// fall in this range.
constexpr bool plausibleWavelength(int nanometres)
{
    return nanometres >= 400 && nanometres <= 1700;
}

bool isCommand(quint8 byte);
// 0x7A and 0x7B are answered with a wavelength, 0x82 with a power reading.
ReplyKind replyKindFor(quint8 command);

struct Frame
{
    quint16 value = 0;   // big-endian bytes 0 and 1
    quint8 signFlag = 0; // 0x01: negative
    quint8 unitFlag = 0; // 0x00: dBm, otherwise dB
};

// Bytes that did not arrive count as 0; bytes after the fourth are ignored.
Frame decodeFrame(const QByteArray &bytes);
QByteArray encodeFrame(const Frame &frame);
QByteArray wavelengthFrame(quint16 nanometres);
QByteArray powerFrame(quint16 hundredths, bool negative, bool decibel);

// Texts shown on the window.
extern const QString blankText;            // " ": an empty reading label
QString wavelengthText(const Frame &frame); // "1310 nm"
QString magnitudeText(const Frame &frame);  // "15.00": value / 100, never signed
QString signText(const Frame &frame);       // "-" or blankText
QString unitText(const Frame &frame);       // "dBm" or "dB"

// Cuts the received byte stream into 4-byte frames, whatever the grouping of
// the deliveries. A remainder of 1 to 3 bytes waits for more.
class FrameAssembler
{
public:
    void append(const char *bytes, int size) { buffer.append(bytes, size); }
    // The next whole frame, one at a time: whoever takes them may clear().
    std::optional<QByteArray> takeFrame();
    bool hasPartial() const { return !buffer.isEmpty(); }
    QByteArray takePartial();
    void clear() { buffer.clear(); }

private:
    QByteArray buffer;
};

} // namespace meter
