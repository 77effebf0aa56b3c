#include "json.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace testsupport {

namespace {
const Json &nullJson()
{
    static const Json null;
    return null;
}
constexpr int kMaxDepth = 64;
} // namespace

int64_t Json::asInt() const
{
    if (kind_ != Kind::Number && kind_ != Kind::String)
        return 0;
    const char *s = text_.c_str();
    const bool hex = text_.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    return hex ? int64_t(std::strtoull(s + 2, nullptr, 16)) : int64_t(std::strtoll(s, nullptr, 10));
}

const Json &Json::operator[](size_t i) const
{
    return kind_ == Kind::Array && i < items_.size() ? items_[i] : nullJson();
}

const Json &Json::operator[](const std::string &key) const
{
    for (const auto &m : members_) {
        if (m.first == key)
            return m.second;
    }
    return nullJson();
}

bool Json::has(const std::string &key) const
{
    for (const auto &m : members_) {
        if (m.first == key)
            return true;
    }
    return false;
}

class JsonReader {
public:
    explicit JsonReader(const std::string &text) : s_(text) {}

    bool document(Json &out, std::string &error)
    {
        const bool ok = value(out, 0) && (skipSpace(), pos_ == s_.size() || fail("trailing characters"));
        if (!ok)
            error = error_ + " at offset " + std::to_string(pos_);
        return ok;
    }

private:
    bool fail(const char *why)
    {
        if (error_.empty())
            error_ = why;
        return false;
    }
    void skipSpace()
    {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t'))
            ++pos_;
    }
    bool literal(const char *word)
    {
        size_t n = 0;
        while (word[n])
            ++n;
        if (s_.compare(pos_, n, word) != 0)
            return fail("unknown literal");
        pos_ += n;
        return true;
    }
    bool string(std::string &out)
    {
        ++pos_; // opening quote
        while (pos_ < s_.size() && s_[pos_] != '"') {
            char c = s_[pos_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size())
                return fail("unterminated escape");
            c = s_[pos_++];
            switch (c) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'u': {
                if (pos_ + 4 > s_.size())
                    return fail("short \\u escape");
                const unsigned code = unsigned(std::strtoul(s_.substr(pos_, 4).c_str(), nullptr, 16));
                pos_ += 4;
                // Test data is ASCII; other code points are kept as UTF-8 of the BMP character.
                if (code < 0x80) {
                    out += char(code);
                } else if (code < 0x800) {
                    out += char(0xC0 | (code >> 6));
                    out += char(0x80 | (code & 0x3F));
                } else {
                    out += char(0xE0 | (code >> 12));
                    out += char(0x80 | ((code >> 6) & 0x3F));
                    out += char(0x80 | (code & 0x3F));
                }
                break;
            }
            default:
                out += c;
            }
        }
        if (pos_ >= s_.size())
            return fail("unterminated string");
        ++pos_;
        return true;
    }
    bool number(Json &out)
    {
        const size_t start = pos_;
        while (pos_ < s_.size() && (std::isdigit(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '-' ||
                                    s_[pos_] == '+' || s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E'))
            ++pos_;
        if (pos_ == start)
            return fail("unexpected character");
        out.kind_ = Json::Kind::Number;
        out.text_ = s_.substr(start, pos_ - start);
        return true;
    }
    bool value(Json &out, int depth)
    {
        if (depth > kMaxDepth)
            return fail("nested too deeply");
        skipSpace();
        if (pos_ >= s_.size())
            return fail("unexpected end");
        const char c = s_[pos_];
        if (c == '{') {
            out.kind_ = Json::Kind::Object;
            ++pos_;
            skipSpace();
            if (pos_ < s_.size() && s_[pos_] == '}')
                return ++pos_, true;
            for (;;) {
                skipSpace();
                if (pos_ >= s_.size() || s_[pos_] != '"')
                    return fail("expected a key");
                std::string key;
                if (!string(key))
                    return false;
                skipSpace();
                if (pos_ >= s_.size() || s_[pos_] != ':')
                    return fail("expected ':'");
                ++pos_;
                out.members_.emplace_back(std::move(key), Json());
                if (!value(out.members_.back().second, depth + 1))
                    return false;
                skipSpace();
                if (pos_ < s_.size() && s_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                if (pos_ < s_.size() && s_[pos_] == '}')
                    return ++pos_, true;
                return fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            out.kind_ = Json::Kind::Array;
            ++pos_;
            skipSpace();
            if (pos_ < s_.size() && s_[pos_] == ']')
                return ++pos_, true;
            for (;;) {
                out.items_.emplace_back();
                if (!value(out.items_.back(), depth + 1))
                    return false;
                skipSpace();
                if (pos_ < s_.size() && s_[pos_] == ',') {
                    ++pos_;
                    continue;
                }
                if (pos_ < s_.size() && s_[pos_] == ']')
                    return ++pos_, true;
                return fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            out.kind_ = Json::Kind::String;
            return string(out.text_);
        }
        if (c == 't' || c == 'f') {
            out.kind_ = Json::Kind::Bool;
            out.bool_ = c == 't';
            return literal(c == 't' ? "true" : "false");
        }
        if (c == 'n')
            return literal("null");
        return number(out);
    }

    const std::string &s_;
    size_t pos_ = 0;
    std::string error_;
};

bool Json::parse(const std::string &text, Json &out, std::string &error)
{
    out = Json();
    return JsonReader(text).document(out, error);
}

bool readFile(const std::string &path, std::string &out)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out.clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

} // namespace testsupport
