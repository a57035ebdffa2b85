#include "json/writer.hpp"

#include <charconv>
#include <cstdint>

#include "json/number.hpp"
#include "json/string.hpp"

namespace tamso::json {

namespace {

void write_uint(std::uint64_t u, std::string& out) {
  char buf[20];
  out.append(buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, u).ptr - buf));
}

void write_int(std::int64_t i, std::string& out) {
  char buf[20];
  out.append(buf, static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, i).ptr - buf));
}

void write_value(const Value& v, std::string& out) {
  switch (v.kind()) {
    case Value::Kind::Null: out.append("null", 4); return;
    case Value::Kind::Bool:
      if (v.as_bool()) {
        out.append("true", 4);
      } else {
        out.append("false", 5);
      }
      return;
    case Value::Kind::UInt: write_uint(v.as_uint(), out); return;
    case Value::Kind::Int: write_int(v.as_int(), out); return;
    case Value::Kind::Double: write_double(v.as_double(), out); return;
    case Value::Kind::String: write_string(v.as_string(), out); return;
    case Value::Kind::Array: {
      const Value::Array& a = v.as_array();
      out.push_back('[');
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (i != 0) out.push_back(',');
        write_value(a[i], out);
      }
      out.push_back(']');
      return;
    }
    case Value::Kind::Object: {
      const Value::Object& o = v.as_object();
      out.push_back('{');
      for (std::size_t i = 0; i < o.size(); ++i) {
        if (i != 0) out.push_back(',');
        write_string(o[i].first, out);
        out.push_back(':');
        write_value(o[i].second, out);
      }
      out.push_back('}');
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

void write(const Value& v, std::string& out) { write_value(v, out); }

std::string write(const Value& v) {
  std::string out;
  out.reserve(estimate(v));
  write_value(v, out);
  return out;
}

void write_string(std::string_view utf8, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  for (;;) {
    const char* q = detail::find_special(p, end);
    out.append(p, static_cast<std::size_t>(q - p));
    if (q == end) break;
    const auto c = static_cast<unsigned char>(*q);
    const char e = detail::kEscape[c];
    if (e == 'u') {
      const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      out.append(esc, 6);
    } else {
      const char esc[2] = {'\\', e};
      out.append(esc, 2);
    }
    p = q + 1;
  }
  out.push_back('"');
}

void write_double(double d, std::string& out) {
  char buf[detail::kDoubleMax];
  out.append(buf, detail::format_double(d, buf));
}

}  // namespace tamso::json
