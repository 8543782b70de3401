// Tables of the comparisons that decide a path, each tried at its boundary and a step to either
// side, so that a `>` written for a `>=` (or the reverse) changes exactly the middle result. Each
// row names the comparison, its three inputs (below, on, above) and the three results, which
// must match to the bit (-0 is not +0).
#pragma once

#include <cstddef>
#include <functional>

#include "gtest/gtest.h"
#include "tests/float_bits.h"

namespace se_test {

template <class Input>
struct EdgeRow {
  const char* comparison;
  Input inputs[3];
  std::function<double(Input)> observe;
  double expected[3];
};

template <class Input, size_t kRows>
void ExpectEveryEdge(const EdgeRow<Input> (&rows)[kRows]) {
  for (const EdgeRow<Input>& row : rows) {
    SCOPED_TRACE(row.comparison);
    for (int step = 0; step < 3; ++step) {
      const double observed = row.observe(row.inputs[step]);
      EXPECT_EQ(Bits(row.expected[step]), Bits(observed))
          << "input " << row.inputs[step] << ": expected " << row.expected[step] << ", got "
          << observed;
    }
  }
}

}  // namespace se_test
