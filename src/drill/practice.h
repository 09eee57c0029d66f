// The conversion exercise: a number drawn from a clock-seeded generator is shown in hexadecimal
// or octal, the learner types its decimal value, and the decimal value is revealed.
#pragma once

#include <cstdint>

#include "console/console_out.h"
#include "drill/driver.h"

namespace basedrill {

// A 64-bit linear congruential generator; each draw is one step from its seed.
class PracticeRng {
  public:
    void seed(std::uint32_t s) { state_ = s; }
    std::int32_t draw() {
        state_ = state_ * 0x0000015A00004E35ULL + 1;
        return static_cast<std::int32_t>((state_ >> 32) & 0x7FFFFFFF);
    }
    std::uint64_t state() const { return state_; }

  private:
    std::uint64_t state_ = 0;
};

// The generator's seed for a clock reading: the seconds since the epoch, modulo 2^32, for every
// moment after the epoch; 0xFFFFFFFF at or before it.
std::uint32_t seedFromClock(std::int64_t secondsSinceEpoch);

// The exercise's own state: the number drawn last and the generator.
struct Practice {
    std::int32_t drawnNumber = 0;
    PracticeRng rng;
};

void offerHexPractice(DrillState& state, Console& console, Practice& practice);
// `base` is Radix::Hex or Radix::Oct.
void runAttempts(DrillState& state, Console& console, Practice& practice, Radix base);
void showDrawn(Console& console, Practice& practice, Radix base);
void revealDecimal(Console& console, const Practice& practice);

}  // namespace basedrill
