// A small JSON reader for test data: no exceptions, bounded nesting, numbers kept as text so that
// integers of any size in 64 bits come back exactly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class Json {
public:
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Kind kind() const { return kind_; }
    bool isNull() const { return kind_ == Kind::Null; }
    bool isNumber() const { return kind_ == Kind::Number; }
    bool isString() const { return kind_ == Kind::String; }
    bool isArray() const { return kind_ == Kind::Array; }
    bool isObject() const { return kind_ == Kind::Object; }

    bool asBool() const { return kind_ == Kind::Bool ? bool_ : false; }
    int64_t asInt() const; // numbers; strings holding decimal or 0x-hex numbers; 0 otherwise
    const std::string &asString() const { return text_; }

    size_t size() const
    {
        return kind_ == Kind::Array ? items_.size() : kind_ == Kind::Object ? members_.size() : 0;
    }
    const Json &operator[](size_t i) const;
    const Json &operator[](const std::string &key) const; // a null value when absent
    bool has(const std::string &key) const;
    const std::vector<std::pair<std::string, Json>> &members() const { return members_; }
    const std::vector<Json> &items() const { return items_; }

    // Parses `text`; false with a reason (and position) in `error` when it is not valid JSON.
    static bool parse(const std::string &text, Json &out, std::string &error);

private:
    friend class JsonReader;
    Kind kind_ = Kind::Null;
    bool bool_ = false;
    std::string text_; // string contents, or the number as written
    std::vector<Json> items_;
    std::vector<std::pair<std::string, Json>> members_;
};

// Reads a whole file into `out`; false when it cannot be read.
bool readFile(const std::string &path, std::string &out);

} // namespace testsupport
