// TRdaSet: a set of enumeration values, stored as bits (bit n is value n), the way
// option sets are kept in settings.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace rda {

template <typename E>
class TRdaSet {
 public:
  constexpr TRdaSet() = default;
  constexpr TRdaSet(std::initializer_list<E> values) {
    for (E v : values) bits_ |= Bit(v);
  }
  static constexpr TRdaSet FromBits(uint32_t bits) {
    TRdaSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool Contains(E v) const { return (bits_ & Bit(v)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TRdaSet& Include(E v) {
    bits_ |= Bit(v);
    return *this;
  }
  constexpr TRdaSet& Exclude(E v) {
    bits_ &= ~Bit(v);
    return *this;
  }
  friend constexpr bool operator==(TRdaSet a, TRdaSet b) { return a.bits_ == b.bits_; }

 private:
  static constexpr uint32_t Bit(E v) { return uint32_t{1} << static_cast<unsigned>(v); }
  uint32_t bits_ = 0;
};

}  // namespace rda
