// The IMX table scanner at every cut point, resumed scans, and the writer's layout.

#include <doctest/doctest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kernels/imx_container.hpp"

using namespace vr::imx;

namespace {

struct Entry {
  std::string name;
  std::uint64_t offset, size;
};

// The table bytes as the layout describes them; `starts` gets where each entry
// starts, and the end.
std::vector<std::uint8_t> table_of(const std::vector<Entry>& entries, std::vector<std::size_t>* starts = nullptr) {
  std::vector<std::uint8_t> t;
  auto put = [&t](std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) t.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  for (const Entry& e : entries) {
    if (starts) starts->push_back(t.size());
    put(e.name.size(), 2);
    t.insert(t.end(), e.name.begin(), e.name.end());
    put(e.offset, 8);
    put(e.size, 8);
  }
  if (starts) starts->push_back(t.size());
  return t;
}

const std::vector<Entry> kEntries = {
    {"manifest.json", 60, 21}, {"", 81, 0}, {"w\xc3\xa4ights/\xe6\xa8\xa1.bin", 0x0102030405060708ULL, UINT64_MAX}, {"x", UINT64_MAX, 1}};

}  // namespace

TEST_CASE("a table cut at every byte gives the outcome of the field the cut falls in, resumed or not") {
  std::vector<std::size_t> starts;
  const std::vector<std::uint8_t> full = table_of(kEntries, &starts);
  const std::size_t count = kEntries.size();
  for (std::size_t n = 0; n <= full.size(); ++n) {
    const std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    std::size_t complete = 0;
    while (complete < count && starts[complete + 1] <= n) ++complete;
    const std::size_t s = starts[complete];
    const std::size_t name_len = complete < count ? kEntries[complete].name.size() : 0;
    const std::size_t got = n - s < kNameLenSize ? 0 : std::min(name_len, n - s - kNameLenSize);
    for (std::size_t split : {n, n / 2, std::size_t{0}}) {
      INFO("n=", n, " split=", split);
      TableCursor cur;
      TableStatus st = scan_table(cut.data(), split, count, split == n, cur);
      if (split < n) {
        CHECK(st == (cur.complete == count ? TableStatus::Complete : TableStatus::NeedMore));
        st = scan_table(cut.data(), n, count, false, cur);
        CHECK(st == (complete == count ? TableStatus::Complete : TableStatus::NeedMore));
        st = scan_table(cut.data(), n, count, true, cur);
      }
      CHECK(cur.complete == complete);
      CHECK(cur.pos == s);
      if (complete == count) {
        CHECK(st == TableStatus::Complete);
      } else if (n - s < kNameLenSize) {
        CHECK(st == TableStatus::CutAtNameLength);
        CHECK((cur.rest_pos == s && cur.rest_len == n - s));
      } else {
        CHECK(st == TableStatus::CutAtLocation);
        CHECK((cur.cut_name_pos == s + kNameLenSize && cur.cut_name_len == got));
        CHECK((cur.rest_pos == s + kNameLenSize + got && cur.rest_len == n - cur.rest_pos));
      }
    }
  }
}

TEST_CASE("the entry count bounds the scan and the entries decode little-endian") {
  std::vector<std::size_t> starts;
  const std::vector<std::uint8_t> full = table_of(kEntries, &starts);
  for (std::size_t count = 0; count <= kEntries.size(); ++count) {
    INFO("count=", count);
    TableCursor cur;
    REQUIRE(scan_table(full.data(), full.size(), count, true, cur) == TableStatus::Complete);
    CHECK(cur.pos == starts[count]);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < count; ++i) {
      TableEntry e;
      pos = read_entry(full.data(), pos, e);
      CHECK(pos == starts[i + 1]);
      CHECK(std::string(reinterpret_cast<const char*>(full.data() + e.name_pos), e.name_len) == kEntries[i].name);
      CHECK((e.data_offset == kEntries[i].offset && e.data_size == kEntries[i].size));
      CHECK(is_ascii(full.data() + e.name_pos, e.name_len) == (i != 2));
    }
  }
}

TEST_CASE("the writer's layout places data after the table, entry after entry") {
  std::vector<Entry> entries = {{"manifest.json", 0, 21}, {"", 0, 0}, {"b\xc3\xa4r", 0, 5}};
  std::vector<const std::uint8_t*> names;
  std::vector<std::size_t> lens;
  std::vector<std::uint64_t> sizes;
  std::uint64_t at = kHeaderSize + table_of(entries).size();
  for (Entry& e : entries) {
    names.push_back(reinterpret_cast<const std::uint8_t*>(e.name.data()));
    lens.push_back(e.name.size());
    sizes.push_back(e.size);
    e.offset = at;
    at += e.size;
  }
  Layout layout;
  REQUIRE(compute_layout(lens.data(), sizes.data(), entries.size(), layout));
  const std::vector<std::uint8_t> expected = table_of(entries);
  CHECK(layout.data_start == kHeaderSize + expected.size());
  REQUIRE(layout.table_size == expected.size());
  std::vector<std::uint8_t> out(layout.table_size);
  encode_table(out.data(), names.data(), lens.data(), sizes.data(), layout, entries.size());
  CHECK(out == expected);

  // Entry 1 ending exactly at 2**64 is fine as the last entry, fatal before another.
  for (std::size_t k : {2, 3}) {
    const std::uint64_t start = kHeaderSize + k * (kEntryFixedSize + 1);
    const std::size_t one[] = {1, 1, 1};
    const std::uint64_t to_2_64[] = {10, UINT64_MAX - start - 9, 1}, to_max[] = {10, UINT64_MAX - start - 10, 1};
    CHECK(compute_layout(one, to_2_64, k, layout) == (k == 2));
    REQUIRE(compute_layout(one, to_max, k, layout));
    CHECK(layout.offsets[k - 1] == (k == 2 ? start + 10 : UINT64_MAX));
  }
}

TEST_CASE("is_ascii sees a high bit at any position of words and tails") {
  for (std::size_t n = 1; n <= 20; ++n) {
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<std::uint8_t> text(n, 0x7f);
      text[i] = 0x80;
      CHECK_FALSE(is_ascii(text.data(), n));
      CHECK(is_ascii(text.data(), i));
    }
  }
}
