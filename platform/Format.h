#pragma once
// printf-style formatting of the string tables' format texts with typed
// arguments. The format comes from a resource, so it is never handed to the C
// library: each conversion is parsed here and fed the argument it names, and a
// conversion that does not fit its argument (or has none) still gives text.
//
// Understood: %@ %s (text of any argument), %d %i %u %x %X %o %c, %f %F %e %E
// %g %G, %%, flags "-+ #0", width and precision (numbers or *), length
// modifiers (ignored: the argument's own type decides), and positions (%2$@).
#include <QString>

#include <array>
#include <cstddef>
#include <string>

namespace salvor::platform {

class FormatArg {
public:
    enum class Kind { Int, UInt, Real, Text };

    FormatArg(int v) : kind_(Kind::Int), i_(v) {}
    FormatArg(long v) : kind_(Kind::Int), i_(v) {}
    FormatArg(long long v) : kind_(Kind::Int), i_(v) {}
    FormatArg(unsigned v) : kind_(Kind::UInt), u_(v) {}
    FormatArg(unsigned long v) : kind_(Kind::UInt), u_(v) {}
    FormatArg(unsigned long long v) : kind_(Kind::UInt), u_(v) {}
    FormatArg(bool v) : kind_(Kind::Int), i_(v ? 1 : 0) {}
    FormatArg(double v) : kind_(Kind::Real), d_(v) {}
    FormatArg(float v) : kind_(Kind::Real), d_(v) {}
    FormatArg(const QString& v) : kind_(Kind::Text), s_(v) {}
    FormatArg(const char* v) : kind_(Kind::Text), s_(QString::fromUtf8(v ? v : "")) {}
    FormatArg(const std::string& v) : kind_(Kind::Text), s_(QString::fromStdString(v)) {}

    Kind kind() const { return kind_; }
    long long asInt() const;
    unsigned long long asUInt() const;
    double asReal() const;
    QString asText() const;

private:
    Kind kind_;
    long long i_ = 0;
    unsigned long long u_ = 0;
    double d_ = 0;
    QString s_;
};

QString formatWithArgs(const QString& format, const FormatArg* args, std::size_t count);

template <class... A>
QString format(const QString& fmt, const A&... args) {
    if constexpr (sizeof...(A) == 0) {
        return formatWithArgs(fmt, nullptr, 0);
    } else {
        const std::array<FormatArg, sizeof...(A)> list{FormatArg(args)...};
        return formatWithArgs(fmt, list.data(), list.size());
    }
}

template <class... A>
QString format(const char* fmt, const A&... args) {
    return format(QString::fromUtf8(fmt ? fmt : ""), args...);
}

} // namespace salvor::platform
