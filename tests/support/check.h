// The assertion harness of the portable (Qt-free) test programs: the parser's suites and the tests
// of the Windows build under wine. Checks are grouped into cases; a case fails when any of its
// checks does, and every failed check is printed with the case's name and what was compared (CHECK
// adds the file and line). The program ends with "N passed, N failed".
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace testsupport {

class Checker {
public:
    // Runs `body` as one case named `name`.
    void run(const std::string &name, const std::function<void()> &body)
    {
        current_ = name;
        failures_ = 0;
        body();
        (failures_ == 0 ? passed_ : failed_)++;
        current_.clear();
    }

    bool check(bool ok, const std::string &what)
    {
        if (!ok) {
            ++failures_;
            std::printf("FAIL %s: %s\n", current_.c_str(), what.c_str());
            std::fflush(stdout);
        }
        return ok;
    }

    template <class A, class B> bool equal(const A &actual, const B &expected, const std::string &what)
    {
        bool same;
        if constexpr (std::is_integral_v<A> && std::is_integral_v<B>)
            same = std::cmp_equal(actual, expected);
        else
            same = actual == expected;
        if (same)
            return true;
        return check(false, what + ": got " + text(actual) + ", expected " + text(expected));
    }

    int finish() const
    {
        std::printf("%d passed, %d failed\n", passed_, failed_);
        std::fflush(stdout);
        return failed_ == 0 ? 0 : 1;
    }

private:
    template <class T> static std::string text(const T &v)
    {
        if constexpr (std::is_convertible_v<T, std::string>) {
            return "\"" + std::string(v) + "\"";
        } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
            return std::to_string(static_cast<long long>(v));
        } else {
            std::string s = "[";
            for (const auto &e : v)
                s += (s.size() > 1 ? " " : "") + text(e);
            return s + "]";
        }
    }

    std::string current_;
    int failures_ = 0;
    int passed_ = 0;
    int failed_ = 0;
};

// The program's checker, the one CHECK reports to.
inline Checker &checker()
{
    static Checker instance;
    return instance;
}

// "05 01 a1" or "0501a1" to bytes; false when a character is not a hex digit.
inline bool parseHex(const std::string &text, std::vector<unsigned char> &out)
{
    out.clear();
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == '\n' || c == '\t' || c == ',')
            continue;
        else
            return false;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<unsigned char>(high << 4 | v));
            high = -1;
        }
    }
    return high < 0;
}

} // namespace testsupport

#define CHECK(expression)                                                                                    \
    testsupport::checker().check(static_cast<bool>(expression),                                              \
                                 std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": " #expression)
