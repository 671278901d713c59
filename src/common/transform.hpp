#pragma once
// The state of one tracked point: a 3x3 single-precision matrix stored column by column.
// The upper-left 2x2 block is the rotation accumulated by tracking, the last column the
// point's position (x, y) in level-0 pixels, the last row (0, 0, 1).

#include <array>
#include <cstddef>

namespace glent {

struct Transform {
  // Column-major: m[0..2] first column, m[3..5] second column, m[6..8] translation column.
  std::array<float, 9> m{1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f};

  // Identity linear part with translation (x, y): how every new point starts.
  static Transform at(float x, float y) {
    Transform t;
    t.m[6] = x;
    t.m[7] = y;
    return t;
  }

  float tx() const { return m[6]; }
  float ty() const { return m[7]; }
  // Linear part entries, row r and column c (r, c in {0, 1}).
  float linear(int r, int c) const { return m[static_cast<std::size_t>(3 * c + r)]; }

  friend bool operator==(const Transform&, const Transform&) = default;
};

}  // namespace glent
