#pragma once
// A small reader for the JSON reference files in tests/data: objects, arrays,
// numbers, strings without escapes other than \" and \\, true, false, null.
// A malformed file throws std::runtime_error, which fails the test reading it.

#include <charconv>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace peltaro::json {

struct Value;
using Object = std::map<std::string, Value>;
using Array = std::vector<Value>;

struct Value {
  std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<Array>,
               std::shared_ptr<Object>>
      data;

  [[nodiscard]] bool is_null() const { return std::holds_alternative<std::nullptr_t>(data); }
  [[nodiscard]] double number() const { return std::get<double>(data); }
  [[nodiscard]] const std::string& text() const { return std::get<std::string>(data); }
  [[nodiscard]] const Array& array() const { return *std::get<std::shared_ptr<Array>>(data); }
  [[nodiscard]] const Value& operator[](const std::string& key) const {
    const Object& o = *std::get<std::shared_ptr<Object>>(data);
    const auto it = o.find(key);
    if (it == o.end()) throw std::runtime_error("json: no key '" + key + "'");
    return it->second;
  }
  [[nodiscard]] std::vector<double> numbers() const {
    std::vector<double> out;
    for (const Value& v : array()) out.push_back(v.number());
    return out;
  }
};

class Parser {
 public:
  explicit Parser(std::string text) : s_(std::move(text)) {}

  Value document() {
    Value v = value();
    skip();
    if (i_ != s_.size()) fail("trailing characters");
    return v;
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    throw std::runtime_error(std::string("json: ") + what + " at offset " + std::to_string(i_));
  }
  void skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) {
      ++i_;
    }
  }
  bool eat(char c) {
    skip();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!eat(c)) fail("unexpected character");
  }
  bool word(const char* w) {
    const std::string_view sv(w);
    if (s_.compare(i_, sv.size(), sv) != 0) return false;
    i_ += sv.size();
    return true;
  }
  std::string string() {
    expect('"');
    std::string out;
    while (i_ < s_.size() && s_[i_] != '"') {
      if (s_[i_] == '\\') ++i_;
      if (i_ < s_.size()) out += s_[i_++];
    }
    if (i_ >= s_.size()) fail("unterminated string");
    ++i_;
    return out;
  }
  Value value() {
    skip();
    if (i_ >= s_.size()) fail("unexpected end");
    const char c = s_[i_];
    if (c == '{') {
      ++i_;
      auto o = std::make_shared<Object>();
      if (!eat('}')) {
        do {
          std::string key = string();
          expect(':');
          (*o)[std::move(key)] = value();
        } while (eat(','));
        expect('}');
      }
      return {o};
    }
    if (c == '[') {
      ++i_;
      auto a = std::make_shared<Array>();
      if (!eat(']')) {
        do a->push_back(value());
        while (eat(','));
        expect(']');
      }
      return {a};
    }
    if (c == '"') return {string()};
    if (word("null")) return {nullptr};
    if (word("true")) return {true};
    if (word("false")) return {false};
    double x = 0.0;
    const auto res = std::from_chars(s_.data() + i_, s_.data() + s_.size(), x);
    if (res.ec != std::errc()) fail("bad number");
    i_ = static_cast<std::size_t>(res.ptr - s_.data());
    return {x};
  }

  std::string s_;
  std::size_t i_ = 0;
};

inline Value read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("json: cannot open " + path);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return Parser(buffer.str()).document();
}

}  // namespace peltaro::json
