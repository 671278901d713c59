#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/fatal_error.hpp"
#include "corners_fast9/fast9.hpp"
#include "corners_fast9/grid_selection.hpp"
#include "test_support.hpp"
#include "image_utilities/gray_image.hpp"

namespace glent {
namespace {

// A black image with isolated bright dots. A dot of value v (11 ... 255) is exactly one FAST
// corner at threshold 10, of score v - 1: its 16 circle pixels are all darker, while black
// pixels never have a darker neighbour and see at most a few brighter ones.
struct Dot {
  std::uint32_t x;
  std::uint32_t y;
  int value;
};

GrayImage dots_image(std::uint32_t w, std::uint32_t h, const std::vector<Dot>& dots) {
  GrayImage image(w, h);
  for (const Dot& d : dots) {
    image.pixels[std::size_t{d.y} * w + d.x] = static_cast<std::uint8_t>(d.value);
  }
  return image;
}

std::vector<Corner> select(std::uint32_t w, std::uint32_t h, const std::vector<Dot>& dots,
                           std::uint32_t grid_size = 20, const std::vector<Corner>& existing = {},
                           std::uint32_t max_per_cell = 1) {
  const GrayImage image = dots_image(w, h, dots);
  return select_new_corners(image, image, 1, grid_size, existing, max_per_cell);
}

using Positions = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

Positions positions(const std::vector<Corner>& corners) {
  Positions out;
  for (const Corner& c : corners) out.emplace_back(c.x, c.y);
  return out;
}

TEST(GridSelection, DotImagesHaveOneCornerPerDot) {
  const GrayImage image = dots_image(100, 80, {{20, 20, 255}, {30, 20, 41}, {28, 40, 12}});
  const std::vector<Corner> expected = {{20, 20, 254.0f}, {30, 20, 40.0f}, {28, 40, 11.0f}};
  EXPECT_EQ(fast9_detect(image, FAST_THRESHOLD), expected);
}

TEST(GridSelection, StrongestCornerWinsItsCell) {
  // 640 x 480, grid 20: no offsets; (40, 40) and (45, 50) share cell (2, 2).
  const std::vector<Corner> result = select(640, 480, {{40, 40, 26}, {45, 50, 41}, {100, 100, 31}});
  const std::vector<Corner> expected = {{45, 50, 40.0f}, {100, 100, 30.0f}};
  EXPECT_EQ(result, expected);
}

TEST(GridSelection, GridIsCentredInTheFrame) {
  // 650 x 490, grid 20: 32 x 24 cells, off_x = off_y = 5, so cell (0, 0) covers 5 ... 24.
  // (22, 60) and (26, 60) then lie in different cells; (22, 22) and (24, 24) share cell (0, 0)
  // with (22, 60)'s column but not its row.
  const std::vector<Dot> dots = {{22, 60, 101}, {26, 60, 51}, {22, 22, 61}, {24, 24, 81}};
  EXPECT_EQ(positions(select(650, 490, dots)), (Positions{{22, 60}, {24, 24}, {26, 60}}));
  // On 640 x 480 the cells start at 0: (22, 60) and (26, 60) share cell (1, 3), and (22, 22)
  // and (24, 24) share cell (1, 1).
  EXPECT_EQ(positions(select(640, 480, dots)), (Positions{{22, 60}, {24, 24}}));
}

TEST(GridSelection, ExistingPointsOutsideTheGridOccupyNothing) {
  // off_x = 5 on 650 x 490: a point at column 4 or in the right-hand strip is in no cell.
  const std::vector<Dot> dots = {{22, 60, 101}, {630, 60, 101}};
  const std::vector<Corner> outside = {
      {4, 60, 0.0f}, {645, 60, 0.0f}, {22, 4, 0.0f}, {4294967295u, 4294967295u, 0.0f}};
  EXPECT_EQ(positions(select(650, 490, dots, 20, outside)), (Positions{{22, 60}, {630, 60}}));
  const std::vector<Corner> inside = {{5, 60, 0.0f}, {644, 60, 0.0f}};
  EXPECT_TRUE(select(650, 490, dots, 20, inside).empty());
}

TEST(GridSelection, ExistingPointInsideMarginStillOccupiesItsCell) {
  // Existing positions come already rounded by the caller: (0, 50) sits in cell (0, 2) when the
  // grid has no offset, and blocks the only admissible corner of that cell, (19, 50).
  const std::vector<Dot> dots = {{19, 50, 101}};
  EXPECT_EQ(positions(select(640, 480, dots)), (Positions{{19, 50}}));
  EXPECT_TRUE(select(640, 480, dots, 20, {{0, 50, 0.0f}}).empty());
}

TEST(GridSelection, OccupiedCellsAcceptUpToMaxPerCell) {
  const std::vector<Dot> dots = {{42, 42, 201}, {50, 42, 151}, {56, 50, 101}, {100, 100, 51}};
  const std::vector<Corner> existing = {{41, 59, 0.0f}};  // cell (2, 2)
  EXPECT_EQ(positions(select(640, 480, dots, 20, existing, 1)), (Positions{{100, 100}}));
  EXPECT_EQ(positions(select(640, 480, dots, 20, existing, 2)),
            (Positions{{42, 42}, {100, 100}}));
  EXPECT_EQ(positions(select(640, 480, dots, 20, {}, 2)), (Positions{{42, 42}, {50, 42}, {100, 100}}));
  EXPECT_TRUE(select(640, 480, dots, 20, {}, 0).empty());
}

TEST(GridSelection, BorderMarginAtScaleTwo) {
  // Detection on a half-size level of 640 x 480: (9, 30) maps to (18, 60), outside the margin,
  // and (10, 60) to (20, 120), inside; 640 - 19 = 621 and 480 - 19 = 461 are the last admissible
  // column and row.
  const GrayImage base(640, 480);
  const GrayImage half =
      dots_image(320, 240, {{9, 30, 101}, {10, 60, 101}, {310, 90, 101}, {311, 120, 101},
                            {100, 9, 101}, {100, 10, 101}, {150, 230, 101}, {200, 231, 101}});
  const std::vector<Corner> result = select_new_corners(base, half, 2, 20, {}, 1);
  EXPECT_EQ(positions(result), (Positions{{200, 20}, {20, 120}, {620, 180}, {300, 460}}));
  for (const Corner& c : result) EXPECT_EQ(c.score, 100.0f);
}

TEST(GridSelection, MarginLimitsAreInclusive) {
  // 19 <= X <= W - 19 and 19 <= Y <= H - 19 on 640 x 480 at scale 1.
  const std::vector<Dot> inside = {{19, 100, 101}, {621, 200, 101}, {100, 19, 101}, {200, 461, 101}};
  EXPECT_EQ(select(640, 480, inside).size(), 4u);
  const std::vector<Dot> outside = {{18, 100, 101}, {622, 200, 101}, {100, 18, 101}, {200, 462, 101}};
  EXPECT_TRUE(select(640, 480, outside).empty());
}

TEST(GridSelection, FirstCellColumnEmptyAtScaleTwo) {
  // X = 2x is even and at least 19, so the first column of cells (0 ... 19) gets nothing.
  std::vector<Dot> dots;
  for (std::uint32_t y = 10; y < 230; y += 8) dots.push_back({9, y, 101});
  const GrayImage base(640, 480);
  const GrayImage half = dots_image(320, 240, dots);
  EXPECT_TRUE(select_new_corners(base, half, 2, 20, {}, 1).empty());
}

TEST(GridSelection, FramesNarrowerThanTwiceTheMarginAcceptNothing) {
  // The right limit W - 19 must not wrap round on small frames, even when the detection level
  // is larger than the frame.
  const GrayImage detection =
      dots_image(64, 64, {{19, 30, 101}, {20, 20, 101}, {30, 40, 101}, {40, 30, 101}});
  for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{0, 0}, {10, 10}, {18, 64},
                             {64, 18}, {37, 64}, {64, 37}}) {
    const GrayImage base(w, h);
    EXPECT_TRUE(select_new_corners(base, detection, 1, 1, {}, 1).empty()) << w << "x" << h;
  }
  const GrayImage base(38, 64);
  EXPECT_EQ(positions(select_new_corners(base, detection, 1, 1, {}, 1)), (Positions{{19, 30}}));
}

TEST(GridSelection, ScaledPositionsNeverWrapIntoTheFrame) {
  // 32 * (2^27 + 1) = 2^32 + 32, which 32-bit arithmetic would wrap round to 32.
  const GrayImage base(640, 480);
  const GrayImage detection = dots_image(64, 64, {{32, 32, 101}});
  EXPECT_EQ(select_new_corners(base, detection, 1, 20, {}, 1).size(), 1u);
  EXPECT_TRUE(select_new_corners(base, detection, 134217729u, 20, {}, 1).empty());
}

TEST(GridSelection, GridLargerThanFrameHasNoCells) {
  EXPECT_TRUE(select(640, 480, {{100, 100, 101}}, 1000).empty());
  EXPECT_TRUE(select(640, 480, {{100, 100, 101}}, 481).empty());
  EXPECT_EQ(select(640, 480, {{100, 100, 101}}, 480).size(), 1u);
}

TEST(GridSelection, GridSizeZeroIsFatal) {
  // Refused before anything else, whatever the images hold.
  for (const GrayImage& image : {GrayImage(), GrayImage(640, 480), dots_image(64, 64, {{30, 30, 99}})}) {
    EXPECT_EQ(test_support::fatal_message([&] { select_new_corners(image, image, 1, 0, {{1, 1, 0.0f}}, 1); }),
              "attempt to divide by zero");
  }
}

TEST(GridSelection, ResultIsInDescendingScoreOrder) {
  std::vector<Dot> dots;
  int value = 11;
  for (std::uint32_t y = 30; y < 460; y += 40) {
    for (std::uint32_t x = 30; x < 620; x += 40) {
      dots.push_back({x, y, value});
      value = 11 + (value * 37 + 5) % 245;
    }
  }
  const std::vector<Corner> result = select(640, 480, dots);
  ASSERT_EQ(result.size(), dots.size());
  for (std::size_t i = 1; i < result.size(); ++i) EXPECT_GE(result[i - 1].score, result[i].score);
}

TEST(GridSelection, EqualScoresKeepRasterOrder) {
  // Far more than a small-list special case would cover: every dot scores 99, one per cell, and
  // in the cell shared by two dots the earlier one in raster order wins.
  std::vector<Dot> dots;
  Positions expected;
  for (std::uint32_t y = 25; y < 460; y += 20) {
    for (std::uint32_t x = 25; x < 620; x += 20) {
      dots.push_back({x, y, 100});
      expected.emplace_back(x, y);
    }
  }
  dots.push_back({33, 25, 100});  // same cell as (25, 25), later in raster order
  ASSERT_GT(dots.size(), 600u);
  const std::vector<Corner> result = select(640, 480, dots);
  EXPECT_EQ(positions(result), expected);
  for (const Corner& c : result) EXPECT_EQ(c.score, 99.0f);
}

TEST(GridSelection, AtMostOneNewCornerPerFreeCell) {
  // A dense texture: every free cell of the margin-clipped grid gets exactly one corner and the
  // occupied ones none.
  GrayImage image(200, 160);
  std::uint32_t state = 1;
  for (auto& p : image.pixels) {
    state = state * 1664525u + 1013904223u;
    p = static_cast<std::uint8_t>(state >> 24);
  }
  const std::vector<Corner> existing = {{50, 50, 0.0f}, {130, 110, 0.0f}};
  const std::vector<Corner> result = select_new_corners(image, image, 1, 20, existing, 1);
  std::vector<int> per_cell(10 * 8, 0);
  for (const Corner& c : result) ++per_cell[(c.y / 20) * 10 + c.x / 20];
  for (std::uint32_t cy = 0; cy < 8; ++cy) {
    for (std::uint32_t cx = 0; cx < 10; ++cx) {
      const bool occupied = (cx == 2 && cy == 2) || (cx == 6 && cy == 5);
      const bool border = cx == 0 || cy == 0 || cx == 9 || cy == 7;  // mostly inside the margin
      const int count = per_cell[cy * 10 + cx];
      if (occupied) {
        EXPECT_EQ(count, 0) << cx << "," << cy;
      } else if (border) {
        EXPECT_LE(count, 1) << cx << "," << cy;
      } else {
        EXPECT_EQ(count, 1) << cx << "," << cy;
      }
    }
  }
}

}  // namespace
}  // namespace glent
