#include "meter/protocol.h"

#include <algorithm>

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
    return QString::number(frame.value / 100.0, 'f', 2);
}

QString signText(const Frame &frame)
{
    return frame.signFlag == 0x01 ? QStringLiteral("-") : blankText;
}

QString unitText(const Frame &frame)
{
    return frame.unitFlag != 0 ? QStringLiteral("dB") : QStringLiteral("dBm");
}

QVector<QByteArray> FrameAssembler::push(const QByteArray &bytes)
{
    buffer.append(bytes);
    QVector<QByteArray> frames;
    int taken = 0;
    while (buffer.size() - taken >= frameSize) {
        frames.append(buffer.mid(taken, frameSize));
        taken += frameSize;
    }
    buffer.remove(0, taken);
    return frames;
}

QByteArray FrameAssembler::takePartial()
{
    QByteArray partial = buffer;
    buffer.clear();
    return partial;
}

void ReplyTracker::commandWritten(quint8 command, qint64 nowMs)
{
    awaiting.append({command, nextSequence++, nowMs});
}

QVector<ArrivedFrame> ReplyTracker::bytesArrived(const QByteArray &bytes)
{
    QVector<ArrivedFrame> arrived;
    if (bytes.isEmpty())
        return arrived;
    // A frame that began in an earlier delivery keeps its first byte's limit.
    quint64 firstLimit = assembler.hasPartial() ? partialWrittenBefore : nextSequence;
    const QVector<QByteArray> frames = assembler.push(bytes);
    for (int i = 0; i < frames.size(); ++i)
        arrived.append({frames.at(i), i == 0 ? firstLimit : nextSequence});
    if (assembler.hasPartial())
        partialWrittenBefore = frames.isEmpty() ? firstLimit : nextSequence;
    return arrived;
}

ArrivedFrame ReplyTracker::takeShortFrame()
{
    return {assembler.takePartial(), partialWrittenBefore};
}

std::optional<ReplyKind> ReplyTracker::answer(const ArrivedFrame &frame)
{
    if (awaiting.isEmpty() || awaiting.first().sequence >= frame.writtenBefore)
        return std::nullopt;
    const quint8 command = awaiting.takeFirst().command;
    return replyKindFor(command);
}

bool ReplyTracker::isAwaiting(quint8 command) const
{
    for (const Awaiting &entry : awaiting)
        if (entry.command == command)
            return true;
    return false;
}

int ReplyTracker::expire(qint64 nowMs, qint64 deadlineMs)
{
    const int before = awaiting.size();
    awaiting.erase(std::remove_if(awaiting.begin(), awaiting.end(),
                                  [&](const Awaiting &entry) {
                                      return nowMs - entry.writtenAtMs >= deadlineMs;
                                  }),
                   awaiting.end());
    return before - awaiting.size();
}

std::optional<qint64> ReplyTracker::nextDeadline(qint64 deadlineMs) const
{
    if (awaiting.isEmpty())
        return std::nullopt;
    return awaiting.first().writtenAtMs + deadlineMs;
}

void ReplyTracker::clear()
{
    awaiting.clear();
    assembler.clear();
    partialWrittenBefore = 0;
}

} // namespace meter
