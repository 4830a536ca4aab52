// TSet: a set of enumeration values, the platform's "set of" type. Bit n of
// Bits() is value n, which is also how option sets travel on the wire and
// sit in settings (an integer whose bit n is the enumeration value n), so
// FromBits and Bits are the wire form.
//
//   TSet<TLocateOption> options{loCaseInsensitive};
//   options.Include(loPartialKey);
//   if (options.Contains(loPartialKey)) ...
//
// Values must lie in 0..31. Enumerations kept in a set are wire values:
// renumbering one changes every stored and sent set.
#pragma once

#include <cassert>
#include <cstdint>
#include <initializer_list>

namespace rda {

template <typename E>
class TSet {
 public:
  static constexpr unsigned kMaxValues = 32;

  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> values) {
    for (E v : values) bits_ |= Bit(v);
  }
  // The set whose members are the bits that are set.
  static constexpr TSet FromBits(uint32_t bits) {
    TSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr uint32_t Bits() const { return bits_; }

  constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TSet& Include(E v) {
    bits_ |= Bit(v);
    return *this;
  }
  constexpr TSet& Exclude(E v) {
    bits_ &= ~Bit(v);
    return *this;
  }

  friend constexpr bool operator==(TSet, TSet) = default;
  // Union, intersection and difference, as the platform's + * -.
  friend constexpr TSet operator+(TSet a, TSet b) { return FromBits(a.bits_ | b.bits_); }
  friend constexpr TSet operator*(TSet a, TSet b) { return FromBits(a.bits_ & b.bits_); }
  friend constexpr TSet operator-(TSet a, TSet b) { return FromBits(a.bits_ & ~b.bits_); }

 private:
  static constexpr uint32_t Bit(E v) {
    assert(static_cast<unsigned>(v) < kMaxValues);
    return uint32_t{1} << static_cast<unsigned>(v);
  }
  uint32_t bits_ = 0;
};

}  // namespace rda
