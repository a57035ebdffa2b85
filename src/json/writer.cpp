#include "json/writer.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "json/number.hpp"
#include "json/string.hpp"

namespace tamso::json {

namespace {

// Writes straight into the output string's buffer through a pointer. The
// string is sized ahead of the writes in steps of at most kStep bytes, so the
// zero fill that resizing does lands in cache just before it is overwritten;
// the destructor trims the string to what was written. Capacity grows as with
// append, so small texts stay small.
class Sink {
 public:
  explicit Sink(std::string& out) : out_(out), pos_(out.data() + out.size()), end_(pos_) {}
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  ~Sink() { out_.resize(static_cast<std::size_t>(pos_ - out_.data())); }

  // Room for at least n bytes at the returned position; hand the position
  // after the bytes written to commit().
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) grow(n);
    return pos_;
  }
  void commit(char* p) noexcept { pos_ = p; }

  void put(char c) {
    *room(1) = c;
    ++pos_;
  }
  void put(const char* s, std::size_t n) {
    std::memcpy(room(n), s, n);
    pos_ += n;
  }

 private:
  static constexpr std::size_t kStep = 64 * 1024;

  // Makes room for n bytes: sizes the string up to kStep bytes past the
  // write position within its capacity, and when the capacity falls short,
  // grows it geometrically like append does.
  [[gnu::noinline]] void grow(std::size_t n) {
    const auto used = static_cast<std::size_t>(pos_ - out_.data());
    if (out_.capacity() - used < n) {
      out_.resize(used);  // copy only the written bytes when reallocating
      out_.reserve(std::max(used + n, 2 * out_.capacity()));
    }
    out_.resize(std::max(used + n, std::min(out_.capacity(), used + kStep)));
    pos_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* pos_;
  char* end_;
};

void put_string(std::string_view s, Sink& sink) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char* p = s.data();
  const char* const end = p + s.size();
  const char* q = detail::find_special(p, end, s.data());
  if (q == end) {  // the common case: nothing to escape
    char* o = sink.room(s.size() + 2);
    *o++ = '"';
    std::memcpy(o, p, s.size());
    o += s.size();
    *o++ = '"';
    sink.commit(o);
    return;
  }
  sink.put('"');
  for (;;) {
    const auto run = static_cast<std::size_t>(q - p);
    char* o = sink.room(run + 7);  // the run, one escape, the closing quote
    std::memcpy(o, p, run);
    o += run;
    if (q == end) {
      *o++ = '"';
      sink.commit(o);
      return;
    }
    const auto c = static_cast<unsigned char>(*q);
    const char e = detail::kEscape[c];
    *o++ = '\\';
    if (e == 'u') {
      std::memcpy(o, "u00", 3);
      o[3] = kHex[c >> 4];
      o[4] = kHex[c & 15];
      o += 5;
    } else {
      *o++ = e;
    }
    sink.commit(o);
    p = q + 1;
    q = detail::find_special(p, end, s.data());
  }
}

template <class Int>
void put_integer(Int i, Sink& sink) {
  char* o = sink.room(20);
  sink.commit(std::to_chars(o, o + 20, i).ptr);
}

void put_double(double d, Sink& sink) {
  char* o = sink.room(detail::kDoubleMax);
  sink.commit(o + detail::format_double(d, o));
}

void put_value(const Value& v, Sink& sink) {
  switch (v.kind()) {
    case Value::Kind::Null: sink.put("null", 4); return;
    case Value::Kind::Bool:
      if (v.as_bool()) {
        sink.put("true", 4);
      } else {
        sink.put("false", 5);
      }
      return;
    case Value::Kind::UInt: put_integer(v.as_uint(), sink); return;
    case Value::Kind::Int: put_integer(v.as_int(), sink); return;
    case Value::Kind::Double: put_double(v.as_double(), sink); return;
    case Value::Kind::String: put_string(v.as_string(), sink); return;
    case Value::Kind::Array: {
      const Value::Array& a = v.as_array();
      sink.put('[');
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (i != 0) sink.put(',');
        put_value(a[i], sink);
      }
      sink.put(']');
      return;
    }
    case Value::Kind::Object: {
      const Value::Object& o = v.as_object();
      sink.put('{');
      for (std::size_t i = 0; i < o.size(); ++i) {
        if (i != 0) sink.put(',');
        put_string(o[i].first, sink);
        sink.put(':');
        put_value(o[i].second, sink);
      }
      sink.put('}');
      return;
    }
  }
}

// Roughly the size of v's text: exact for structure and literals, generous
// for numbers, and strings counted unescaped plus a margin for escapes.
std::size_t estimate(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: return 4;
    case Value::Kind::Bool: return 5;
    case Value::Kind::UInt:
    case Value::Kind::Int: return 20;
    case Value::Kind::Double: return 24;
    case Value::Kind::String: {
      const std::size_t n = v.as_string().size();
      return n + n / 8 + 2;
    }
    case Value::Kind::Array: {
      std::size_t n = 2;
      for (const Value& e : v.as_array()) n += estimate(e) + 1;
      return n;
    }
    case Value::Kind::Object: {
      std::size_t n = 2;
      for (const Value::Member& m : v.as_object()) n += m.first.size() + 4 + estimate(m.second);
      return n;
    }
  }
  return 0;
}

}  // namespace

void write(const Value& v, std::string& out) {
  Sink sink(out);
  put_value(v, sink);
}

std::string write(const Value& v) {
  std::string out;
  out.reserve(estimate(v));
  write(v, out);
  return out;
}

void write_string(std::string_view utf8, std::string& out) {
  Sink sink(out);
  put_string(utf8, sink);
}

void write_double(double d, std::string& out) {
  char buf[detail::kDoubleMax];
  out.append(buf, detail::format_double(d, buf));
}

}  // namespace tamso::json
