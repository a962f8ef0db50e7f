// SPDX-License-Identifier: MIT
#include "scpi/message.h"

#include "scpi/errors.h"

#include <QLocale>


namespace scpi {

namespace {

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isMnemonicChar(char c)
{
    return isLetter(c) || isDigit(c) || c == '_';
}

class Parser
{
public:
    explicit Parser(const QByteArray &line) : s(line) {}

    bool atEnd() const { return i >= s.size(); }
    // Only called where !atEnd().
    char peek() const { return s.at(i); }
    void skipSpace()
    {
        while (!atEnd() && isWhiteSpace(peek()))
            ++i;
    }
    bool atUnitEnd() const { return atEnd() || peek() == ';'; }
    bool separator()
    {
        if (atEnd())
            return false;
        ++i; // the ';'
        return true;
    }

    // The error for a byte that cannot stand here: one outside printable
    // ASCII is no command at all.
    int unexpected() const
    {
        if (atEnd())
            return syntaxError;
        const quint8 c = quint8(peek());
        return c >= 0x7F ? commandError : syntaxError;
    }

    int unit(Unit &unit)
    {
        if (!atEnd() && peek() == '*') {
            unit.common = true;
            ++i;
            if (!mnemonic(unit))
                return unexpected();
        } else {
            if (!atEnd() && peek() == ':') {
                unit.rooted = true;
                ++i;
            }
            for (;;) {
                if (!mnemonic(unit))
                    return unexpected();
                if (atEnd() || peek() != ':')
                    break;
                ++i;
            }
        }
        if (!atEnd() && peek() == '?') {
            unit.query = true;
            ++i;
        }
        if (atUnitEnd())
            return 0;
        if (!isWhiteSpace(peek()))
            return unexpected();
        skipSpace();
        if (atUnitEnd())
            return 0;
        for (;;) {
            Param param;
            if (const int error = data(param))
                return error;
            unit.params.append(param);
            skipSpace();
            if (atUnitEnd())
                return 0;
            if (peek() != ',')
                return unexpected();
            ++i;
            skipSpace();
        }
    }

private:
    bool mnemonic(Unit &unit)
    {
        if (atEnd() || !isLetter(peek()))
            return false;
        const int start = i;
        while (!atEnd() && isMnemonicChar(peek()))
            ++i;
        unit.mnemonics.append(s.mid(start, i - start).toUpper());
        return true;
    }

    int digits()
    {
        const int start = i;
        while (!atEnd() && isDigit(peek()))
            ++i;
        return i - start;
    }

    int data(Param &param)
    {
        if (atUnitEnd())
            return syntaxError; // a ',' with nothing after it
        const char c = peek();
        if (isDigit(c) || c == '+' || c == '-' || c == '.')
            return number(param);
        if (isLetter(c)) {
            param.kind = Param::Kind::Character;
            const int start = i;
            while (!atEnd() && isMnemonicChar(peek()))
                ++i;
            param.text = s.mid(start, i - start).toUpper();
            return 0;
        }
        if (c == '"' || c == '\'')
            return string(param);
        if (c == '#') {
            // Block or non-decimal numeric: taken whole, refused by type.
            param.kind = Param::Kind::Other;
            while (!atEnd() && peek() != ',' && peek() != ';')
                ++i;
            return 0;
        }
        if (c == '(') {
            param.kind = Param::Kind::Other;
            int depth = 0;
            do {
                if (peek() == '(')
                    ++depth;
                else if (peek() == ')')
                    --depth;
                ++i;
            } while (depth > 0 && !atEnd());
            return depth == 0 ? 0 : syntaxError;
        }
        return unexpected();
    }

    int string(Param &param)
    {
        const char quote = peek();
        param.kind = Param::Kind::String;
        ++i;
        for (;;) {
            if (atEnd())
                return syntaxError;
            const char c = peek();
            ++i;
            if (c == quote) {
                if (atEnd() || peek() != quote)
                    return 0;
                ++i; // a doubled quote stands for one
            }
            param.text.append(c);
        }
    }

    int number(Param &param)
    {
        param.kind = Param::Kind::Number;
        QByteArray text;
        if (peek() == '+' || peek() == '-')
            text.append(s.at(i++));
        const int wholeStart = i;
        int count = digits();
        text.append(count ? s.mid(wholeStart, count) : QByteArray("0"));
        if (!atEnd() && peek() == '.') {
            ++i;
            const int fractionStart = i;
            const int fraction = digits();
            count += fraction;
            if (fraction)
                text.append('.').append(s.mid(fractionStart, fraction));
        }
        if (count == 0)
            return syntaxError;
        // The exponent may stand apart from the mantissa, and its digits
        // from the E; an E with no digits after it is a suffix's letter.
        {
            int j = i;
            while (j < s.size() && isWhiteSpace(s.at(j)))
                ++j;
            if (j < s.size() && (s.at(j) == 'E' || s.at(j) == 'e')) {
                int k = j + 1;
                while (k < s.size() && isWhiteSpace(s.at(k)))
                    ++k;
                QByteArray sign;
                if (k < s.size() && (s.at(k) == '+' || s.at(k) == '-'))
                    sign = s.mid(k++, 1);
                const int digitsStart = k;
                while (k < s.size() && isDigit(s.at(k)))
                    ++k;
                if (k > digitsStart) {
                    text.append('e').append(sign).append(s.mid(digitsStart, k - digitsStart));
                    i = k;
                }
            }
        }
        // Too large for a double gives an infinity, beyond every range; too
        // small, zero.
        param.number = QLocale::c().toDouble(QString::fromLatin1(text));
        int j = i;
        while (j < s.size() && isWhiteSpace(s.at(j)))
            ++j;
        if (j < s.size() && isLetter(s.at(j))) {
            const int start = j;
            while (j < s.size() && isLetter(s.at(j)))
                ++j;
            param.suffix = s.mid(start, j - start).toUpper();
            i = j;
        }
        return 0;
    }

    const QByteArray &s;
    int i = 0;
};

} // namespace

bool Message::hasQuery() const
{
    for (const Unit &unit : units) {
        if (unit.query)
            return true;
    }
    return false;
}

Message parseMessage(const QByteArray &line)
{
    Message message;
    Parser parser(line);
    parser.skipSpace();
    if (parser.atEnd())
        return message;
    for (;;) {
        Unit unit;
        if (const int error = parser.unit(unit)) {
            message.errorCode = error;
            return message;
        }
        message.units.append(unit);
        // unit() stops only at the end or at a ';'. One ';' at the very end
        // is let pass; two in a row are an empty unit.
        if (!parser.separator())
            return message;
        parser.skipSpace();
        if (parser.atEnd())
            return message;
    }
}

} // namespace scpi
