// A strict reader for the JSON lines duzevod-host prints (objects, arrays, strings, numbers, literals).
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace duz::test {

struct Json {
  enum class Type { Null, Bool, Number, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  std::string text;  // a string's value, or a number as written
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  bool has(std::string_view key) const {
    for (const auto& [k, v] : members)
      if (k == key) return true;
    return false;
  }
  const Json& operator[](std::string_view key) const {
    for (const auto& [k, v] : members)
      if (k == key) return v;
    throw std::out_of_range("no member " + std::string(key));
  }
  const Json& operator[](std::size_t i) const { return items.at(i); }
  // A number written as an integer; throws for anything else.
  std::int64_t integer() const {
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (type != Type::Number || ec != std::errc() || end != text.data() + text.size())
      throw std::invalid_argument("not an integer: " + text);
    return v;
  }
  std::vector<std::string> keys() const {
    std::vector<std::string> out;
    for (const auto& [k, v] : members) out.push_back(k);
    return out;
  }
};

class JsonReader {
 public:
  // The whole text must be one value (surrounding white space allowed).
  static std::optional<Json> parse(std::string_view text) {
    JsonReader r(text);
    try {
      Json v = r.value();
      r.space();
      if (r.pos_ != text.size()) return std::nullopt;
      return v;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }

 private:
  explicit JsonReader(std::string_view t) : t_(t) {}

  void space() {
    while (pos_ < t_.size() && (t_[pos_] == ' ' || t_[pos_] == '\t' || t_[pos_] == '\n' || t_[pos_] == '\r'))
      ++pos_;
  }
  char peek() {
    if (pos_ >= t_.size()) throw std::runtime_error("end of text");
    return t_[pos_];
  }
  void expect(char c) {
    if (peek() != c) throw std::runtime_error(std::string("expected ") + c);
    ++pos_;
  }
  bool literal(std::string_view word) {
    if (t_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  Json value() {
    space();
    Json v;
    const char c = peek();
    if (c == '{') {
      v.type = Json::Type::Object;
      ++pos_;
      space();
      if (peek() == '}') return ++pos_, v;
      for (;;) {
        space();
        std::string key = string();
        space();
        expect(':');
        v.members.emplace_back(std::move(key), value());
        space();
        if (peek() == ',') {
          ++pos_;
          continue;
        }
        expect('}');
        return v;
      }
    }
    if (c == '[') {
      v.type = Json::Type::Array;
      ++pos_;
      space();
      if (peek() == ']') return ++pos_, v;
      for (;;) {
        v.items.push_back(value());
        space();
        if (peek() == ',') {
          ++pos_;
          continue;
        }
        expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.type = Json::Type::String;
      v.text = string();
      return v;
    }
    if (literal("null")) return v;
    for (const bool b : {true, false}) {
      if (literal(b ? "true" : "false")) {
        v.type = Json::Type::Bool;
        v.boolean = b;
        return v;
      }
    }
    const std::size_t start = pos_;
    if (peek() == '-') ++pos_;
    while (pos_ < t_.size() && std::string_view("0123456789.eE+-").find(t_[pos_]) != std::string_view::npos)
      ++pos_;
    v.text = std::string(t_.substr(start, pos_ - start));
    double d = 0;
    auto [end, ec] = std::from_chars(v.text.data(), v.text.data() + v.text.size(), d);
    if (v.text.empty() || ec != std::errc() || end != v.text.data() + v.text.size())
      throw std::runtime_error("bad number");
    v.type = Json::Type::Number;
    return v;
  }

  std::string string() {
    expect('"');
    std::string out;
    for (;;) {
      const char c = peek();
      ++pos_;
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) throw std::runtime_error("control character in string");
      if (c != '\\') {
        out += c;
        continue;
      }
      const char e = peek();
      ++pos_;
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          // duzevod-host escapes only control characters this way; its other texts are UTF-8 as they stand.
          unsigned cp = 0;
          auto [end, ec] =
              std::from_chars(t_.data() + pos_, t_.data() + std::min(pos_ + 4, t_.size()), cp, 16);
          if (ec != std::errc() || end != t_.data() + pos_ + 4 || cp >= 0x80)
            throw std::runtime_error("unexpected \\u escape");
          pos_ += 4;
          out += static_cast<char>(cp);
          break;
        }
        default:
          throw std::runtime_error("bad escape");
      }
    }
  }

  std::string_view t_;
  std::size_t pos_ = 0;
};

}  // namespace duz::test
