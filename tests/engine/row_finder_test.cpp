// Slot to row position, as the index walks look up every entry's row.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "check/row_finder.h"

namespace engine {
namespace {

uint32_t Pack(RowPointer p) {
  return p.page << 8 | p.row;
}

TEST(RowFinder, FindsEverySlotAtItsFirstPositionAndNothingElse) {
  // Rows out of order over scattered pages, a gap of pages between, slot
  // 255 and slot 0, and two slots listed twice.
  std::vector<RowPointer> slots;
  std::mt19937 random(7);
  for (uint32_t page : {900u, 0u, 12u, 13u, 400u, 15u}) {
    for (uint32_t row = 0; row < 256; row += 1 + static_cast<uint32_t>(random() % 40)) {
      slots.push_back({page, static_cast<uint8_t>(row)});
    }
    slots.push_back({page, 255});
  }
  std::shuffle(slots.begin(), slots.end(), random);
  slots.push_back(slots[3]);
  slots.insert(slots.begin() + 1, slots.back());

  std::map<uint32_t, size_t> first;
  for (size_t i = 0; i < slots.size(); ++i) first.emplace(Pack(slots[i]), i);
  const RowFinder finder(slots);
  for (uint32_t page = 0; page < 1000; ++page) {
    for (uint32_t row = 0; row < 256; ++row) {
      const RowPointer at{page, static_cast<uint8_t>(row)};
      auto want = first.find(Pack(at));
      auto got = finder.Find(at);
      if (want == first.end()) {
        ASSERT_FALSE(got.has_value()) << page << ":" << row;
      } else {
        ASSERT_TRUE(got.has_value()) << page << ":" << row;
        EXPECT_EQ(*got, want->second) << page << ":" << row;
      }
    }
  }
  EXPECT_FALSE(finder.Find({0xFFFFFF, 0}).has_value());
  EXPECT_FALSE(finder.Find({0xFFFFFFFF, 255}).has_value());
}

TEST(RowFinder, WithoutRowsFindsNothing) {
  EXPECT_FALSE(RowFinder().Find({1, 0}).has_value());
  EXPECT_FALSE(RowFinder(std::vector<RowPointer>{}).Find({0, 0}).has_value());
  const RowFinder one(std::vector<RowPointer>{{5, 3}});
  EXPECT_EQ(one.Find({5, 3}), std::optional<size_t>(0));
  EXPECT_FALSE(one.Find({5, 2}).has_value());
  EXPECT_FALSE(one.Find({4, 3}).has_value());
  EXPECT_FALSE(one.Find({6, 3}).has_value());
}

}  // namespace
}  // namespace engine
