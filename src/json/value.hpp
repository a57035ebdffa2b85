// The in-memory JSON value: null, boolean, number (unsigned 64-bit, negative
// signed 64-bit, or finite double), UTF-8 string, array, or object.
//
// Objects keep their members sorted by key bytes (unsigned comparison, a key
// that is a prefix of another sorting first) with unique keys; every way of
// building or changing an object maintains that.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tamso::json {

class Value {
 public:
  enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Double, String, Array, Object };

  using Array = std::vector<Value>;
  using Member = std::pair<std::string, Value>;
  using Object = std::vector<Member>;  // sorted by key bytes, unique keys

  Value() noexcept : kind_(Kind::Null), bits_(0) {}
  Value(const Value& other);
  Value(Value&& other) noexcept { move_from(std::move(other)); }
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept;
  ~Value() { destroy(); }

  static Value null() noexcept { return Value(); }
  static Value boolean(bool b) noexcept;
  static Value uinteger(std::uint64_t u) noexcept;
  // A non-negative integer is held as UInt, a negative one as Int.
  static Value integer(std::int64_t i) noexcept;
  // NaN and infinities give null; any other double (integral ones and -0.0
  // included) is held as Double.
  static Value number(double d) noexcept;
  static Value string(std::string s) noexcept;
  static Value array(Array a) noexcept;
  // Sorts the members by key (stably); of equal keys the later one wins.
  static Value object(Object members);

  Kind kind() const noexcept { return kind_; }

  // Each accessor requires the matching kind and throws std::logic_error
  // otherwise (no conversion between number kinds).
  bool as_bool() const;
  std::uint64_t as_uint() const;
  std::int64_t as_int() const;
  double as_double() const;
  const std::string& as_string() const;
  const Array& as_array() const;
  Array& as_array();
  const Object& as_object() const;

  // Object only: inserts the member at its sorted place, or replaces the
  // value of the member with an equal key in place.
  void set(std::string key, Value v);

  // Structural equality. Numbers of different kinds never compare equal
  // (1 and 1.0 differ); doubles compare by bit pattern, so -0.0 != 0.0.
  friend bool operator==(const Value& a, const Value& b);

 private:
  void destroy() noexcept;
  void move_from(Value&& other) noexcept;
  void copy_from(const Value& other);

  Kind kind_;
  union {
    std::uint64_t bits_;  // every scalar: bool as 0/1, Int and Double by bit pattern
    std::string s_;
    Array a_;
    Object o_;
  };
};

// Sorts members by key and keeps, of each run of equal keys, the last one.
// Used by Value::object and by the reader.
void normalize_members(Value::Object& members);

}  // namespace tamso::json
