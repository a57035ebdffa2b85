#include "json/reader.hpp"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <tuple>
#include <utility>
#include <vector>

#include "json/messages.hpp"
#include "json/number.hpp"
#include "json/string.hpp"

namespace tamso::json {

namespace {

namespace msg = detail::msg;

constexpr int kMaxDepth = 127;  // open arrays and objects at once

bool is_space(char c) noexcept { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                       static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                       static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

// One pass over the text. Every read_* function either consumes its part of
// the text and returns true, or records the message and the byte it stopped
// at and returns false; nothing is read past `end_`.
//
// Containers are built on two scratch stacks shared by all nesting levels:
// an array's elements (an object's members) are pushed while it is read and
// moved into one vector of exactly the right size when it closes.
class Reader {
 public:
  explicit Reader(std::string_view text) noexcept
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  bool read_document(Value& out) {
    if (!read_value(out)) return false;
    skip_space();
    if (p_ != end_) return fail(msg::kTrailingCharacters, p_);
    return true;
  }

  const char* message() const noexcept { return message_; }
  // Number of bytes up to and including the byte the reader stopped at; the
  // whole text when it stopped at its end.
  std::size_t stop() const noexcept {
    const auto len = static_cast<std::size_t>(end_ - begin_);
    const auto at = static_cast<std::size_t>(at_ - begin_) + 1;
    return at < len ? at : len;
  }

 private:
  bool fail(const char* message, const char* at) noexcept {
    message_ = message;
    at_ = at;
    return false;
  }

  void skip_space() noexcept {
    while (p_ != end_ && is_space(*p_)) ++p_;
  }

  bool read_value(Value& out) {
    skip_space();
    if (p_ == end_) return fail(msg::kEofValue, end_);
    switch (*p_) {
      case 'n': return read_literal("null", 4, Value::null(), out);
      case 't': return read_literal("true", 4, Value::boolean(true), out);
      case 'f': return read_literal("false", 5, Value::boolean(false), out);
      case '"': {
        ++p_;
        std::string_view s;
        if (!read_string(s)) return false;
        detail::ValueAccess::set_string(out, s);
        return true;
      }
      case '[': return read_array(out);
      case '{': return read_object(out);
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9': {
        const detail::NumberScan r = detail::scan_number(p_, end_, out);
        if (r.message != nullptr) return fail(r.message, r.at);
        p_ = r.end;
        return true;
      }
      default: return fail(msg::kExpectedValue, p_);
    }
  }

  // p_ is at the literal's first letter, which matched.
  bool read_literal(const char* word, std::size_t len, Value value, Value& out) {
    if (static_cast<std::size_t>(end_ - p_) >= len && std::memcmp(p_, word, len) == 0) {
      p_ += len;
      out = std::move(value);
      return true;
    }
    for (std::size_t i = 1;; ++i) {  // some letter is missing or differs
      if (p_ + i == end_) return fail(msg::kEofValue, end_);
      if (p_[i] != word[i]) return fail(msg::kExpectedIdent, p_ + i);
    }
  }

  // p_ is just past the opening quote. Sets s to the string's content: a
  // slice of the text itself when it holds no escape, else the unescaped
  // pieces gathered in buffer_ (valid until the next string is read).
  bool read_string(std::string_view& s) {
    const char* run = p_;
    const char* q = detail::find_special(run, end_, begin_);
    if (q != end_ && *q == '"') {
      s = std::string_view(run, static_cast<std::size_t>(q - run));
      p_ = q + 1;
      return true;
    }
    buffer_.clear();
    for (;;) {
      if (q == end_) return fail(msg::kEofString, end_);
      buffer_.append(run, q);
      const char c = *q;
      if (c == '"') {
        s = buffer_;
        p_ = q + 1;
        return true;
      }
      if (c != '\\') return fail(msg::kControlCharacter, q);
      if (++q == end_) return fail(msg::kEofString, end_);
      switch (*q++) {
        case '"': buffer_.push_back('"'); break;
        case '\\': buffer_.push_back('\\'); break;
        case '/': buffer_.push_back('/'); break;
        case 'b': buffer_.push_back('\b'); break;
        case 'f': buffer_.push_back('\f'); break;
        case 'n': buffer_.push_back('\n'); break;
        case 'r': buffer_.push_back('\r'); break;
        case 't': buffer_.push_back('\t'); break;
        case 'u':
          if (!read_unicode_escape(q)) return false;
          break;
        default: return fail(msg::kInvalidEscape, q - 1);
      }
      run = q;
      q = detail::find_special(run, end_, begin_);
    }
  }

  // Four hex digits at q, advancing q past them. Fewer than four bytes left
  // in the text is the end of the text inside a string.
  bool read_hex4(const char*& q, std::uint32_t& unit) noexcept {
    if (end_ - q < 4) return fail(msg::kEofString, end_);
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int v = hex_value(q[i]);
      if (v < 0) return fail(msg::kInvalidEscape, q + i);
      unit = unit << 4 | static_cast<std::uint32_t>(v);
    }
    q += 4;
    return true;
  }

  // q is just past "\u". A high surrogate must be followed at once by an
  // escaped low surrogate; a low surrogate may not come first.
  bool read_unicode_escape(const char*& q) {
    std::uint32_t unit;
    if (!read_hex4(q, unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(msg::kLoneLeadingSurrogate, q - 1);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (q == end_) return fail(msg::kEofString, end_);
      if (*q != '\\') return fail(msg::kUnexpectedEndOfHexEscape, q);
      if (++q == end_) return fail(msg::kEofString, end_);
      if (*q != 'u') return fail(msg::kUnexpectedEndOfHexEscape, q);
      ++q;
      std::uint32_t low;
      if (!read_hex4(q, low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail(msg::kLoneLeadingSurrogate, q - 1);
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(unit, buffer_);
    return true;
  }

  // Reads a value into the scratch slot `slot` of `stack`. A scalar is read
  // straight into the slot; a nested container pushes onto the scratch
  // stacks, which may move the slot, so it is read aside and moved in.
  template <class Stack, class Slot>
  bool read_into(Stack& stack, std::size_t index, Slot slot) {
    skip_space();
    if (p_ != end_ && (*p_ == '[' || *p_ == '{')) {
      Value nested;
      if (!read_value(nested)) return false;
      slot(stack[index]) = std::move(nested);
      return true;
    }
    return read_value(slot(stack[index]));
  }

  // The items of a closing container, from `base` to the top of `stack`. The
  // outermost container takes the whole scratch vector rather than copying it.
  template <class Vector>
  static Vector take(Vector& stack, std::size_t base) {
    if (base == 0) return std::exchange(stack, Vector());
    const auto first = stack.begin() + static_cast<std::ptrdiff_t>(base);
    Vector items(std::make_move_iterator(first), std::make_move_iterator(stack.end()));
    stack.erase(first, stack.end());
    return items;
  }

  // p_ is at '['.
  bool read_array(Value& out) {
    if (++depth_ > kMaxDepth) return fail(msg::kRecursionLimit, p_);
    ++p_;
    const std::size_t base = elements_.size();
    skip_space();
    if (p_ == end_) return fail(msg::kEofList, end_);
    if (*p_ != ']') {
      for (;;) {
        elements_.emplace_back();
        if (!read_into(elements_, elements_.size() - 1, [](Value& v) -> Value& { return v; })) return false;
        skip_space();
        if (p_ == end_) return fail(msg::kEofList, end_);
        if (*p_ == ']') break;
        if (*p_ != ',') return fail(msg::kExpectedListCommaOrEnd, p_);
        ++p_;
        skip_space();
        if (p_ == end_) return fail(msg::kEofValue, end_);
        if (*p_ == ']') return fail(msg::kTrailingComma, p_);
      }
    }
    ++p_;
    out = Value::array(take(elements_, base));
    --depth_;
    return true;
  }

  // p_ is at '{'.
  bool read_object(Value& out) {
    if (++depth_ > kMaxDepth) return fail(msg::kRecursionLimit, p_);
    ++p_;
    const std::size_t base = members_.size();
    skip_space();
    if (p_ == end_) return fail(msg::kEofObject, end_);
    if (*p_ != '}') {
      for (;;) {
        if (*p_ != '"') return fail(msg::kKeyMustBeString, p_);
        ++p_;
        std::string_view key;
        if (!read_string(key)) return false;
        members_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key), std::forward_as_tuple());
        skip_space();
        if (p_ == end_) return fail(msg::kEofObject, end_);
        if (*p_ != ':') return fail(msg::kExpectedColon, p_);
        ++p_;
        if (!read_into(members_, members_.size() - 1, [](Value::Member& m) -> Value& { return m.second; })) {
          return false;
        }
        skip_space();
        if (p_ == end_) return fail(msg::kEofObject, end_);
        if (*p_ == '}') break;
        if (*p_ != ',') return fail(msg::kExpectedObjectCommaOrEnd, p_);
        ++p_;
        skip_space();
        if (p_ == end_) return fail(msg::kEofValue, end_);
        if (*p_ == '}') return fail(msg::kTrailingComma, p_);
      }
    }
    ++p_;
    out = Value::object(take(members_, base));
    --depth_;
    return true;
  }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  int depth_ = 0;
  std::vector<Value> elements_;
  Value::Object members_;
  std::string buffer_;
  const char* message_ = nullptr;
  const char* at_ = nullptr;
};

}  // namespace

std::string ReadError::text() const {
  if (line == 0) return message;
  return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

bool read(std::string_view text, Value& out, ReadError& err) {
  Reader reader(text);
  Value value;
  if (reader.read_document(value)) {
    out = std::move(value);
    return true;
  }
  // Line and column of the stop byte, counted only now that an error is
  // reported: line feeds before it, and bytes since the last of them.
  const std::size_t stop = reader.stop();
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < stop; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  err.message = reader.message();
  err.line = line;
  err.column = stop - line_start;
  return false;
}

}  // namespace tamso::json
