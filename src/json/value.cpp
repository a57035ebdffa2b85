#include "json/value.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <stdexcept>

namespace tamso::json {

namespace {

[[noreturn]] void wrong_kind(const char* wanted) {
  throw std::logic_error(std::string("json value is not ") + wanted);
}

bool key_less(const Value::Member& a, const Value::Member& b) noexcept { return a.first < b.first; }

}  // namespace

void Value::destroy() noexcept {
  switch (kind_) {
    case Kind::String: s_.~basic_string(); break;
    case Kind::Array: a_.~Array(); break;
    case Kind::Object: o_.~Object(); break;
    default: break;
  }
}

void Value::move_from(Value&& other) noexcept {
  kind_ = other.kind_;
  switch (kind_) {
    case Kind::String: new (&s_) std::string(std::move(other.s_)); break;
    case Kind::Array: new (&a_) Array(std::move(other.a_)); break;
    case Kind::Object: new (&o_) Object(std::move(other.o_)); break;
    default: bits_ = other.bits_; break;
  }
}

void Value::copy_from(const Value& other) {
  switch (other.kind_) {
    case Kind::String: new (&s_) std::string(other.s_); break;
    case Kind::Array: new (&a_) Array(other.a_); break;
    case Kind::Object: new (&o_) Object(other.o_); break;
    default: bits_ = other.bits_; break;
  }
  kind_ = other.kind_;  // set last: a throwing copy leaves nothing to destroy
}

Value::Value(const Value& other) : kind_(Kind::Null), bits_(0) { copy_from(other); }

Value& Value::operator=(const Value& other) {
  if (this != &other) {
    Value copy(other);  // may throw; *this is untouched if it does
    *this = std::move(copy);
  }
  return *this;
}

Value& Value::operator=(Value&& other) noexcept {
  if (this != &other) {
    destroy();
    move_from(std::move(other));
  }
  return *this;
}

Value Value::boolean(bool b) noexcept {
  Value v;
  v.kind_ = Kind::Bool;
  v.bits_ = b ? 1 : 0;
  return v;
}

Value Value::uinteger(std::uint64_t u) noexcept {
  Value v;
  v.kind_ = Kind::UInt;
  v.bits_ = u;
  return v;
}

Value Value::integer(std::int64_t i) noexcept {
  if (i >= 0) return uinteger(static_cast<std::uint64_t>(i));
  Value v;
  v.kind_ = Kind::Int;
  v.bits_ = std::bit_cast<std::uint64_t>(i);
  return v;
}

Value Value::number(double d) noexcept {
  Value v;
  if (std::isfinite(d)) {
    v.kind_ = Kind::Double;
    v.bits_ = std::bit_cast<std::uint64_t>(d);
  }
  return v;
}

Value Value::string(std::string s) noexcept {
  Value v;
  v.kind_ = Kind::String;
  new (&v.s_) std::string(std::move(s));
  return v;
}

Value Value::array(Array a) noexcept {
  Value v;
  v.kind_ = Kind::Array;
  new (&v.a_) Array(std::move(a));
  return v;
}

Value Value::object(Object members) {
  normalize_members(members);
  Value v;
  v.kind_ = Kind::Object;
  new (&v.o_) Object(std::move(members));
  return v;
}

void normalize_members(Value::Object& members) {
  // Documents written by sorted dumps arrive in order already: check first,
  // as stable_sort allocates a buffer even for sorted input.
  auto first_unordered = std::adjacent_find(
      members.begin(), members.end(),
      [](const Value::Member& a, const Value::Member& b) { return !(a.first < b.first); });
  if (first_unordered == members.end()) return;
  std::stable_sort(members.begin(), members.end(), key_less);
  // Equal keys are now adjacent in their original order; keep the last.
  auto out = members.begin();
  for (auto it = members.begin() + 1; it != members.end(); ++it) {
    if (it->first == out->first) {
      out->second = std::move(it->second);
    } else if (++out != it) {
      *out = std::move(*it);
    }
  }
  members.erase(out + 1, members.end());
}

bool Value::as_bool() const {
  if (kind_ != Kind::Bool) wrong_kind("a boolean");
  return bits_ != 0;
}

std::uint64_t Value::as_uint() const {
  if (kind_ != Kind::UInt) wrong_kind("an unsigned integer");
  return bits_;
}

std::int64_t Value::as_int() const {
  if (kind_ != Kind::Int) wrong_kind("a negative integer");
  return std::bit_cast<std::int64_t>(bits_);
}

double Value::as_double() const {
  if (kind_ != Kind::Double) wrong_kind("a double");
  return std::bit_cast<double>(bits_);
}

const std::string& Value::as_string() const {
  if (kind_ != Kind::String) wrong_kind("a string");
  return s_;
}

const Value::Array& Value::as_array() const {
  if (kind_ != Kind::Array) wrong_kind("an array");
  return a_;
}

Value::Array& Value::as_array() {
  if (kind_ != Kind::Array) wrong_kind("an array");
  return a_;
}

const Value::Object& Value::as_object() const {
  if (kind_ != Kind::Object) wrong_kind("an object");
  return o_;
}

void Value::set(std::string key, Value v) {
  if (kind_ != Kind::Object) wrong_kind("an object");
  auto it = std::lower_bound(o_.begin(), o_.end(), key,
                             [](const Member& m, const std::string& k) { return m.first < k; });
  if (it != o_.end() && it->first == key) {
    it->second = std::move(v);
  } else {
    o_.emplace(it, std::move(key), std::move(v));
  }
}

bool operator==(const Value& a, const Value& b) {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Value::Kind::Null: return true;
    case Value::Kind::Bool:
    case Value::Kind::UInt:
    case Value::Kind::Int:
    case Value::Kind::Double: return a.bits_ == b.bits_;  // doubles by bit pattern
    case Value::Kind::String: return a.s_ == b.s_;
    case Value::Kind::Array: return a.a_ == b.a_;
    case Value::Kind::Object: return a.o_ == b.o_;
  }
  return false;
}

}  // namespace tamso::json
