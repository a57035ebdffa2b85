// The in-memory JSON value: null, boolean, number (unsigned 64-bit, negative
// signed 64-bit, or finite double), UTF-8 string, array, or object.
//
// Objects keep their members sorted by key bytes (unsigned comparison, a key
// that is a prefix of another sorting first) with unique keys; every way of
// building or changing an object maintains that.
#pragma once

#include <bit>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tamso::json {

namespace detail {
struct ValueAccess;
}

class Value {
 public:
  enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Double, String, Array, Object };

  using Array = std::vector<Value>;
  using Member = std::pair<std::string, Value>;
  using Object = std::vector<Member>;  // sorted by key bytes, unique keys

  // Copies are deep. Moves never allocate; a moved-from value keeps its kind
  // with empty content.
  Value() noexcept : kind_(Kind::Null), bits_(0) {}
  Value(const Value& other);
  Value(Value&& other) noexcept { move_from(std::move(other)); }
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      destroy();
      move_from(std::move(other));
    }
    return *this;
  }
  ~Value() { destroy(); }

  static Value null() noexcept { return Value(); }
  static Value boolean(bool b) noexcept { return scalar(Kind::Bool, b ? 1 : 0); }
  static Value uinteger(std::uint64_t u) noexcept { return scalar(Kind::UInt, u); }
  // A non-negative integer is held as UInt, a negative one as Int.
  static Value integer(std::int64_t i) noexcept {
    return scalar(i < 0 ? Kind::Int : Kind::UInt, std::bit_cast<std::uint64_t>(i));
  }
  // NaN and infinities give null; any other double (integral ones and -0.0
  // included) is held as Double.
  static Value number(double d) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(d);
    if ((bits >> 52 & 0x7FF) == 0x7FF) return Value();  // all exponent bits set: NaN or infinity
    return scalar(Kind::Double, bits);
  }
  static Value string(std::string s) noexcept {
    Value v;
    v.kind_ = Kind::String;
    new (&v.s_) std::string(std::move(s));
    return v;
  }
  static Value array(Array a) noexcept {
    Value v;
    v.kind_ = Kind::Array;
    new (&v.a_) Array(std::move(a));
    return v;
  }
  // Sorts the members by key (stably); of equal keys the later one wins.
  static Value object(Object members);

  Kind kind() const noexcept { return kind_; }

  // Each accessor requires the matching kind and throws std::logic_error
  // otherwise (no conversion between number kinds).
  bool as_bool() const {
    check(Kind::Bool);
    return bits_ != 0;
  }
  std::uint64_t as_uint() const {
    check(Kind::UInt);
    return bits_;
  }
  std::int64_t as_int() const {
    check(Kind::Int);
    return std::bit_cast<std::int64_t>(bits_);
  }
  double as_double() const {
    check(Kind::Double);
    return std::bit_cast<double>(bits_);
  }
  const std::string& as_string() const {
    check(Kind::String);
    return s_;
  }
  const Array& as_array() const {
    check(Kind::Array);
    return a_;
  }
  Array& as_array() {
    check(Kind::Array);
    return a_;
  }
  const Object& as_object() const {
    check(Kind::Object);
    return o_;
  }

  // Object only: inserts the member at its sorted place, or replaces the
  // value of the member with an equal key in place.
  void set(std::string key, Value v);

  // Structural equality. Numbers of different kinds never compare equal
  // (1 and 1.0 differ); doubles compare by bit pattern, so -0.0 != 0.0.
  friend bool operator==(const Value& a, const Value& b);

 private:
  friend struct detail::ValueAccess;

  static Value scalar(Kind kind, std::uint64_t bits) noexcept {
    Value v;
    v.kind_ = kind;
    v.bits_ = bits;
    return v;
  }

  void check(Kind wanted) const {
    if (kind_ != wanted) wrong_kind(wanted);
  }
  [[noreturn]] static void wrong_kind(Kind wanted);

  void destroy() noexcept {
    switch (kind_) {
      case Kind::String: s_.~basic_string(); break;
      case Kind::Array: a_.~Array(); break;
      case Kind::Object: o_.~Object(); break;
      default: break;
    }
  }

  void move_from(Value&& other) noexcept {
    kind_ = other.kind_;
    switch (kind_) {
      case Kind::String: new (&s_) std::string(std::move(other.s_)); break;
      case Kind::Array: new (&a_) Array(std::move(other.a_)); break;
      case Kind::Object: new (&o_) Object(std::move(other.o_)); break;
      default: bits_ = other.bits_; break;
    }
  }

  void copy_from(const Value& other);

  Kind kind_;
  union {
    std::uint64_t bits_;  // every scalar: bool as 0/1, Int and Double by bit pattern
    std::string s_;
    Array a_;
    Object o_;
  };
};

namespace detail {

// For the reader: fills a value in place, sparing the moves through a
// temporary that the public factories imply.
struct ValueAccess {
  static void set_string(Value& v, std::string_view s) {
    v.destroy();
    v.kind_ = Value::Kind::Null;  // stays consistent if the copy throws
    new (&v.s_) std::string(s);
    v.kind_ = Value::Kind::String;
  }
};

}  // namespace detail

}  // namespace tamso::json
