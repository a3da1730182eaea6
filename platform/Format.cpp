#include "platform/Format.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

namespace salvor::platform {

long long FormatArg::asInt() const {
    switch (kind_) {
    case Kind::Int: return i_;
    case Kind::UInt: return static_cast<long long>(u_);
    case Kind::Real:
        if (std::isnan(d_)) return 0;
        if (d_ >= 9.2e18) return std::numeric_limits<long long>::max();
        if (d_ <= -9.2e18) return std::numeric_limits<long long>::min();
        return static_cast<long long>(d_);
    case Kind::Text: return s_.toLongLong();
    }
    return 0;
}

unsigned long long FormatArg::asUInt() const {
    if (kind_ == Kind::UInt) return u_;
    if (kind_ == Kind::Real) {
        if (std::isnan(d_) || d_ <= 0) return static_cast<unsigned long long>(asInt());
        if (d_ >= 1.8e19) return std::numeric_limits<unsigned long long>::max();
        return static_cast<unsigned long long>(d_);
    }
    return static_cast<unsigned long long>(asInt());
}

double FormatArg::asReal() const {
    switch (kind_) {
    case Kind::Int: return static_cast<double>(i_);
    case Kind::UInt: return static_cast<double>(u_);
    case Kind::Real: return d_;
    case Kind::Text: return s_.toDouble();
    }
    return 0;
}

QString FormatArg::asText() const {
    switch (kind_) {
    case Kind::Int: return QString::number(i_);
    case Kind::UInt: return QString::number(u_);
    case Kind::Real: return QString::number(d_, 'g', 15);
    case Kind::Text: return s_;
    }
    return {};
}

namespace {

// Width and precision from a resource are bounded, so "%999999999d" cannot ask
// for a huge buffer.
constexpr int kMaxField = 512;

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    QChar conversion;
};

template <class T>
QString callPrintf(const std::string& spec, T value) {
    const int n = std::snprintf(nullptr, 0, spec.c_str(), value);
    if (n <= 0) return {};
    std::vector<char> buf(static_cast<std::size_t>(n) + 1);
    std::snprintf(buf.data(), buf.size(), spec.c_str(), value);
    return QString::fromUtf8(buf.data(), n);
}

std::string cSpec(const Spec& s, const char* length, char conversion) {
    std::string out = "%";
    for (char f : s.flags) {
        // "#" means nothing for decimal conversions, and C leaves it undefined.
        if (f == '#' && (conversion == 'd' || conversion == 'u')) continue;
        out += f;
    }
    if (s.width >= 0) out += std::to_string(s.width);
    if (s.precision >= 0) {
        // Appended piece by piece: GCC 12 at -O3 misreads "." + string&& as an overlapping copy.
        out += '.';
        out += std::to_string(s.precision);
    }
    out += length;
    out += conversion;
    return out;
}

QString padText(QString text, const Spec& s) {
    if (s.precision >= 0 && text.size() > s.precision) text.truncate(s.precision);
    if (s.width > text.size()) {
        const QString fill(s.width - text.size(), QLatin1Char(' '));
        text = s.flags.find('-') != std::string::npos ? text + fill : fill + text;
    }
    return text;
}

QString render(const Spec& s, const FormatArg& arg) {
    const char c = s.conversion.toLatin1();
    // Text shows as text whatever the conversion asked for.
    if (arg.kind() == FormatArg::Kind::Text || c == '@' || c == 's' || c == 'S') return padText(arg.asText(), s);
    switch (c) {
    case 'd':
    case 'i': return callPrintf(cSpec(s, "ll", 'd'), arg.asInt());
    case 'u':
    case 'x':
    case 'X':
    case 'o': return callPrintf(cSpec(s, "ll", c), arg.asUInt());
    case 'c':
    case 'C': {
        const long long code = arg.asInt();
        QString ch;
        if (code > 0 && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF)) {
            const char32_t cp = static_cast<char32_t>(code);
            ch = QString::fromUcs4(&cp, 1);
        }
        Spec plain = s;
        plain.precision = -1;
        return padText(ch, plain);
    }
    default: // f F e E g G
        return callPrintf(cSpec(s, "", c), arg.asReal());
    }
}

bool isConversion(QChar c) {
    return QStringLiteral("@sSdiuxXocCfFeEgG").contains(c);
}

} // namespace

QString formatWithArgs(const QString& fmt, const FormatArg* args, std::size_t count) {
    QString out;
    out.reserve(fmt.size() + 16);
    std::size_t nextArg = 0;
    const qsizetype n = fmt.size();
    qsizetype i = 0;
    auto takeArg = [&](long long position) -> const FormatArg* {
        std::size_t index;
        if (position > 0) {
            index = static_cast<std::size_t>(position - 1);
        } else {
            index = nextArg++;
        }
        return index < count ? &args[index] : nullptr;
    };
    while (i < n) {
        const QChar ch = fmt.at(i);
        if (ch != QLatin1Char('%')) {
            out += ch;
            ++i;
            continue;
        }
        const qsizetype start = i++;
        if (i < n && fmt.at(i) == QLatin1Char('%')) {
            out += QLatin1Char('%');
            ++i;
            continue;
        }
        auto readNumber = [&](long long& value) {
            bool any = false;
            value = 0;
            while (i < n && fmt.at(i).isDigit() && fmt.at(i).unicode() < 128) {
                if (value < 1000000) value = value * 10 + (fmt.at(i).unicode() - '0');
                ++i;
                any = true;
            }
            return any;
        };
        Spec spec;
        long long position = 0;
        // A position ("2$") looks like a width until the "$".
        {
            const qsizetype save = i;
            long long v = 0;
            if (readNumber(v) && i < n && fmt.at(i) == QLatin1Char('$') && v > 0) {
                position = v;
                ++i;
            } else {
                i = save;
            }
        }
        while (i < n && QStringLiteral("-+ #0'").contains(fmt.at(i))) {
            if (fmt.at(i) != QLatin1Char('\'')) spec.flags += static_cast<char>(fmt.at(i).unicode());
            ++i;
        }
        long long v = 0;
        if (i < n && fmt.at(i) == QLatin1Char('*')) {
            ++i;
            const FormatArg* a = takeArg(0);
            long long w = a ? a->asInt() : 0;
            if (w < 0) {
                spec.flags += '-';
                w = -w;
            }
            spec.width = static_cast<int>(std::min<long long>(w, kMaxField));
        } else if (readNumber(v)) {
            spec.width = static_cast<int>(std::min<long long>(v, kMaxField));
        }
        if (i < n && fmt.at(i) == QLatin1Char('.')) {
            ++i;
            if (i < n && fmt.at(i) == QLatin1Char('*')) {
                ++i;
                const FormatArg* a = takeArg(0);
                const long long p = a ? a->asInt() : 0;
                spec.precision = p < 0 ? -1 : static_cast<int>(std::min<long long>(p, kMaxField));
            } else {
                readNumber(v);
                spec.precision = static_cast<int>(std::min<long long>(v, kMaxField));
            }
        }
        while (i < n && QStringLiteral("hlqLzjt").contains(fmt.at(i))) ++i;
        if (i >= n || !isConversion(fmt.at(i))) {
            // Not a conversion we know: keep the text as written.
            out += fmt.mid(start, i - start);
            continue;
        }
        spec.conversion = fmt.at(i++);
        const FormatArg* arg = takeArg(position);
        if (!arg) {
            // A conversion without an argument stays visible as written.
            out += fmt.mid(start, i - start);
            continue;
        }
        out += render(spec, *arg);
    }
    return out;
}

} // namespace salvor::platform
