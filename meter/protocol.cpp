// SPDX-License-Identifier: MIT
#include "meter/protocol.h"

namespace meter {

const QString blankText = QStringLiteral(" ");

bool isCommand(quint8 byte)
{
    return byte == cmdQueryWavelength || byte == cmdNextWavelength || byte == cmdMeasure;
}

ReplyKind replyKindFor(quint8 command)
{
    return command == cmdMeasure ? ReplyKind::Power : ReplyKind::Wavelength;
}

Frame decodeFrame(const QByteArray &bytes)
{
    quint8 raw[frameSize] = {0, 0, 0, 0};
    for (int i = 0; i < frameSize && i < bytes.size(); ++i)
        raw[i] = static_cast<quint8>(bytes.at(i));
    Frame frame;
    frame.value = static_cast<quint16>(raw[0] << 8 | raw[1]);
    frame.signFlag = raw[2];
    frame.unitFlag = raw[3];
    return frame;
}

QByteArray encodeFrame(const Frame &frame)
{
    QByteArray bytes(frameSize, '\0');
    bytes[0] = static_cast<char>(frame.value >> 8);
    bytes[1] = static_cast<char>(frame.value & 0xFF);
    bytes[2] = static_cast<char>(frame.signFlag);
    bytes[3] = static_cast<char>(frame.unitFlag);
    return bytes;
}

QByteArray wavelengthFrame(quint16 nanometres)
{
    Frame frame;
    frame.value = nanometres;
    return encodeFrame(frame);
}

QByteArray powerFrame(quint16 hundredths, bool negative, bool decibel)
{
    Frame frame;
    frame.value = hundredths;
    frame.signFlag = negative ? 0x01 : 0x00;
    frame.unitFlag = decibel ? 0x01 : 0x00;
    return encodeFrame(frame);
}

QString wavelengthText(const Frame &frame)
{
    return QString::number(frame.value, 'g', 6) + QStringLiteral(" nm");
}

QString magnitudeText(const Frame &frame)
{
    // value / 100 with two decimals, exactly, without going through binary
    // floating point: this runs for every reading.
    char text[8];
    int length = 0;
    char whole[5];
    int digits = 0;
    for (int part = frame.value / 100; digits == 0 || part > 0; part /= 10)
        whole[digits++] = char('0' + part % 10);
    while (digits > 0)
        text[length++] = whole[--digits];
    text[length++] = '.';
    text[length++] = char('0' + frame.value % 100 / 10);
    text[length++] = char('0' + frame.value % 10);
    return QString::fromLatin1(text, length);
}

QString signText(const Frame &frame)
{
    return frame.signFlag == 0x01 ? QStringLiteral("-") : blankText;
}

QString unitText(const Frame &frame)
{
    return frame.unitFlag != 0 ? QStringLiteral("dB") : QStringLiteral("dBm");
}

std::optional<QByteArray> FrameAssembler::takeFrame()
{
    if (buffer.size() < frameSize)
        return std::nullopt;
    QByteArray frame = buffer.left(frameSize);
    buffer.remove(0, frameSize);
    return frame;
}

QByteArray FrameAssembler::takePartial()
{
    QByteArray partial = buffer;
    buffer.clear();
    return partial;
}

} // namespace meter
