#include "json/value.hpp"

#include <algorithm>
#include <bit>
#include <new>
#include <stdexcept>

namespace tamso::json {

namespace {

bool key_less(const Value::Member& a, const Value::Member& b) noexcept { return a.first < b.first; }

// Sorts members by key and keeps, of each run of equal keys, the last one.
void normalize_members(Value::Object& members) {
  // Members often come in order already (texts written with sorted keys,
  // objects built in order): check first, as stable_sort allocates a buffer
  // even for sorted input.
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

}  // namespace

void Value::copy_from(const Value& other) {
  switch (other.kind_) {
    case Kind::String: new (&s_) std::string(other.s_); break;
    case Kind::Array: new (&a_) Array(other.a_); break;
    case Kind::Object: new (&o_) Object(other.o_); break;
    default: bits_ = other.bits_; break;
  }
  kind_ = other.kind_;  // set last: a throwing copy leaves nothing to destroy
}

void Value::wrong_kind(Kind wanted) {
  static const char* const kNames[] = {"null", "a boolean", "an unsigned integer", "a negative integer",
                                       "a double", "a string", "an array", "an object"};
  throw std::logic_error(std::string("json value is not ") + kNames[static_cast<int>(wanted)]);
}

Value::Value(const Value& other) : kind_(Kind::Null), bits_(0) { copy_from(other); }

Value& Value::operator=(const Value& other) {
  if (this != &other) {
    Value copy(other);  // may throw; *this is untouched if it does
    *this = std::move(copy);
  }
  return *this;
}

Value Value::object(Object members) {
  normalize_members(members);
  Value v;
  v.kind_ = Kind::Object;
  new (&v.o_) Object(std::move(members));
  return v;
}

void Value::set(std::string key, Value v) {
  check(Kind::Object);
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
