// SPDX-License-Identifier: MIT
#include "scpi/headers.h"

namespace scpi {

HeaderPattern::HeaderPattern(const char *text)
{
    const QByteArray pattern(text);
    common = pattern.startsWith('*');
    if (common) {
        // The parser keeps a common header's name without its '*'.
        const QByteArray name = pattern.mid(1).toUpper();
        nodes.append({name, name, false, false});
        return;
    }
    int i = 0;
    while (i < pattern.size()) {
        Node node;
        if (pattern.at(i) == '[') {
            node.optional = true;
            ++i;
        }
        if (pattern.at(i) == ':')
            ++i;
        const int start = i;
        while (i < pattern.size() && pattern.at(i) != ':' && pattern.at(i) != '[' && pattern.at(i) != ']'
               && pattern.at(i) != '#')
            ++i;
        const QByteArray word = pattern.mid(start, i - start);
        for (const char c : word) {
            if (c >= 'A' && c <= 'Z')
                node.shortForm.append(c);
        }
        node.longForm = word.toUpper();
        if (i < pattern.size() && pattern.at(i) == '#') {
            node.takesSuffix = true;
            ++i;
        }
        if (i < pattern.size() && pattern.at(i) == ']')
            ++i;
        nodes.append(node);
    }
}

HeaderPattern::Match HeaderPattern::match(const QVector<QByteArray> &mnemonics) const
{
    QVector<Written> written;
    written.reserve(mnemonics.size());
    for (const QByteArray &mnemonic : mnemonics) {
        Written w;
        if (common) {
            w.base = mnemonic;
        } else {
            int end = mnemonic.size();
            while (end > 1 && mnemonic.at(end - 1) >= '0' && mnemonic.at(end - 1) <= '9')
                --end;
            w.base = mnemonic.left(end);
            if (end < mnemonic.size()) {
                // More digits than any suffix has: out of range, not a number to read.
                QByteArray digits = mnemonic.mid(end);
                while (digits.size() > 1 && digits.startsWith('0'))
                    digits.remove(0, 1);
                w.suffix = digits.size() <= 9 ? digits.toInt() : 0;
            }
        }
        written.append(w);
    }
    bool suffixBad = false;
    if (!matchFrom(0, written, 0, suffixBad))
        return Match::No;
    return suffixBad ? Match::SuffixOutOfRange : Match::Yes;
}

bool HeaderPattern::matchFrom(int node, const QVector<Written> &written, int at, bool &suffixBad) const
{
    if (node == nodes.size())
        return at == written.size();
    const Node &n = nodes.at(node);
    if (at < written.size()) {
        const Written &w = written.at(at);
        const bool named = w.base == n.shortForm || w.base == n.longForm;
        if (named && (w.suffix < 0 || n.takesSuffix)) {
            bool bad = false;
            if (matchFrom(node + 1, written, at + 1, bad)) {
                suffixBad = bad || (w.suffix >= 0 && w.suffix != 1);
                return true;
            }
        }
    }
    return n.optional && matchFrom(node + 1, written, at, suffixBad);
}

} // namespace scpi
