// Bytes to text and back without loss (invalid UTF-8 bytes as lone surrogates).
#include "app/ByteText.h"

namespace {

constexpr char16_t kEscapeBase = 0xDC00;   // byte b >= 0x80 that is no valid UTF-8: 0xDC00 + b

bool IsEscape(char16_t unit)
{
    return unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF;
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace

QString TextFromBytes(std::string_view bytes)
{
    const auto size = static_cast<qsizetype>(bytes.size());
    // Nearly every name is valid UTF-8: the fast decoder settles it unless it had to put a
    // replacement character somewhere (or the name holds one of its own).
    QString fast = QString::fromUtf8(bytes.data(), size);
    if (!fast.contains(QChar::ReplacementCharacter))
        return fast;

    QString out;
    out.reserve(size);
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        auto b = static_cast<unsigned char>(bytes[i]);
        if (b < 0x80) {
            out += QChar(char16_t(b));
            ++i;
            continue;
        }
        std::size_t len = 0;
        char32_t cp = 0;
        char32_t least = 0;
        if ((b & 0xE0) == 0xC0) {
            len = 2, cp = b & 0x1F, least = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3, cp = b & 0x0F, least = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4, cp = b & 0x07, least = 0x10000;
        }
        bool ok = len > 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            auto c = static_cast<unsigned char>(bytes[i + k]);
            if ((c & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms, encoded surrogates and code points past U+10FFFF are no UTF-8.
        if (ok && (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            out += QChar(char16_t(kEscapeBase + b));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            out += QChar(QChar::highSurrogate(cp));
            out += QChar(QChar::lowSurrogate(cp));
        } else {
            out += QChar(char16_t(cp));
        }
        i += len;
    }
    return out;
}

std::string BytesFromText(const QString& text)
{
    const auto* units = reinterpret_cast<const char16_t*>(text.utf16());
    const qsizetype n = text.size();
    bool escaped = false;
    for (qsizetype i = 0; i < n && !escaped; ++i)
        escaped = QChar::isSurrogate(units[i]);
    if (!escaped)
        return text.toUtf8().toStdString();

    std::string out;
    out.reserve(static_cast<std::size_t>(n));
    for (qsizetype i = 0; i < n; ++i) {
        char16_t u = units[i];
        if (QChar::isHighSurrogate(u) && i + 1 < n && QChar::isLowSurrogate(units[i + 1])) {
            AppendUtf8(out, QChar::surrogateToUcs4(u, units[i + 1]));
            ++i;
        } else if (IsEscape(u)) {
            out += static_cast<char>(u - kEscapeBase);
        } else if (QChar::isSurrogate(u)) {
            AppendUtf8(out, 0xFFFD);   // a lone surrogate that stands for no byte
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

QString DisplayText(const QString& text)
{
    const qsizetype n = text.size();
    const QChar* units = text.constData();
    qsizetype i = 0;
    for (; i < n; ++i) {
        if (units[i].isSurrogate())
            break;
    }
    if (i == n)
        return text;
    QString out = text;
    for (; i < n; ++i) {
        if (units[i].isHighSurrogate() && i + 1 < n && units[i + 1].isLowSurrogate()) {
            ++i;   // a pair: a real character beyond the first plane
            continue;
        }
        if (units[i].isSurrogate())
            out[i] = QChar(0xFFFD);
    }
    return out;
}
