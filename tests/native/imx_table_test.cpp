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

void put_le(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// The table bytes as the layout describes them, and where each entry starts.
std::vector<std::uint8_t> table_of(const std::vector<Entry>& entries, std::vector<std::size_t>* starts) {
  std::vector<std::uint8_t> t;
  for (const Entry& e : entries) {
    if (starts) starts->push_back(t.size());
    put_le(t, e.name.size(), 2);
    t.insert(t.end(), e.name.begin(), e.name.end());
    put_le(t, e.offset, 8);
    put_le(t, e.size, 8);
  }
  if (starts) starts->push_back(t.size());
  return t;
}

const std::vector<Entry> kEntries = {
    {"manifest.json", 60, 21},
    {"", 81, 0},
    {"w\xc3\xa4ights/\xe6\xa8\xa1.bin", 0x0102030405060708ULL, UINT64_MAX},
    {"x", UINT64_MAX, 1},
};

}  // namespace

TEST_CASE("a table cut at every byte gives the outcome of the field the cut falls in") {
  std::vector<std::size_t> starts;
  const std::vector<std::uint8_t> full = table_of(kEntries, &starts);
  const std::size_t count = kEntries.size();
  for (std::size_t n = 0; n <= full.size(); ++n) {
    CAPTURE(n);
    std::vector<std::uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    std::size_t complete = 0;
    while (complete < count && starts[complete + 1] <= n) ++complete;
    const std::size_t s = starts[complete];

    TableCursor open;
    CHECK(scan_table(cut.data(), n, count, false, open) ==
          (complete == count ? TableStatus::Complete : TableStatus::NeedMore));
    CHECK(open.complete == complete);
    CHECK(open.pos == s);

    TableCursor cur;
    const TableStatus st = scan_table(cut.data(), n, count, true, cur);
    CHECK(cur.complete == complete);
    CHECK(cur.pos == s);
    if (complete == count) {
      CHECK(st == TableStatus::Complete);
    } else if (n - s < kNameLenSize) {
      CHECK(st == TableStatus::CutAtNameLength);
      CHECK(cur.rest_pos == s);
      CHECK(cur.rest_len == n - s);
    } else {
      const std::size_t name_len = kEntries[complete].name.size();
      const std::size_t got = std::min(name_len, n - s - kNameLenSize);
      CHECK(st == TableStatus::CutAtLocation);
      CHECK(cur.cut_name_pos == s + kNameLenSize);
      CHECK(cur.cut_name_len == got);
      CHECK(cur.rest_pos == s + kNameLenSize + got);
      CHECK(cur.rest_len == n - s - kNameLenSize - got);
    }
  }
}

TEST_CASE("a scan resumed over growing prefixes ends like a scan of the whole span") {
  const std::vector<std::uint8_t> full = table_of(kEntries, nullptr);
  for (std::size_t end = 0; end <= full.size(); ++end) {
    TableCursor whole;
    const TableStatus expected = scan_table(full.data(), end, kEntries.size(), true, whole);
    for (std::size_t split = 0; split <= end; ++split) {
      CAPTURE(end);
      CAPTURE(split);
      TableCursor cur;
      TableStatus st = scan_table(full.data(), split, kEntries.size(), split == end, cur);
      if (st == TableStatus::NeedMore) st = scan_table(full.data(), end, kEntries.size(), true, cur);
      CHECK(st == expected);
      CHECK(cur.pos == whole.pos);
      CHECK(cur.complete == whole.complete);
      CHECK(cur.rest_pos == whole.rest_pos);
      CHECK(cur.rest_len == whole.rest_len);
      CHECK(cur.cut_name_len == whole.cut_name_len);
    }
  }
}

TEST_CASE("the entry count bounds the scan and the entries decode little-endian") {
  std::vector<std::size_t> starts;
  const std::vector<std::uint8_t> full = table_of(kEntries, &starts);
  for (std::size_t count = 0; count <= kEntries.size(); ++count) {
    CAPTURE(count);
    TableCursor cur;
    REQUIRE(scan_table(full.data(), full.size(), count, true, cur) == TableStatus::Complete);
    CHECK(cur.pos == starts[count]);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < count; ++i) {
      TableEntry e;
      const std::size_t next = read_entry(full.data(), pos, e);
      CHECK(next == starts[i + 1]);
      CHECK(std::string(full.begin() + static_cast<std::ptrdiff_t>(e.name_pos),
                        full.begin() + static_cast<std::ptrdiff_t>(e.name_pos + e.name_len)) ==
            kEntries[i].name);
      CHECK(e.data_offset == kEntries[i].offset);
      CHECK(e.data_size == kEntries[i].size);
      pos = next;
    }
  }
}

TEST_CASE("the writer's layout places data after the table, entry after entry") {
  std::vector<Entry> entries = {{"manifest.json", 0, 21}, {"", 0, 0}, {"b\xc3\xa4r", 0, 5}};
  std::vector<const std::uint8_t*> names;
  std::vector<std::size_t> lens;
  std::vector<std::uint64_t> sizes;
  std::uint64_t at = kHeaderSize;
  for (const Entry& e : entries) at += kEntryFixedSize + e.name.size();
  for (Entry& e : entries) {
    names.push_back(reinterpret_cast<const std::uint8_t*>(e.name.data()));
    lens.push_back(e.name.size());
    sizes.push_back(e.size);
    e.offset = at;
    at += e.size;
  }
  Layout layout;
  REQUIRE(compute_layout(lens.data(), sizes.data(), entries.size(), layout));
  const std::vector<std::uint8_t> expected = table_of(entries, nullptr);
  CHECK(layout.table_size == expected.size());
  CHECK(layout.data_start == kHeaderSize + expected.size());
  std::vector<std::uint8_t> out(layout.table_size);
  encode_table(out.data(), names.data(), lens.data(), sizes.data(), layout, entries.size());
  CHECK(out == expected);
}

TEST_CASE("an offset at 2**64 is refused, an entry ending exactly there is not") {
  const std::size_t lens[] = {1, 1, 1};
  auto data_start = [](std::uint64_t k) { return kHeaderSize + k * (kEntryFixedSize + 1); };
  Layout layout;
  for (std::uint64_t k : {2, 3}) {
    CAPTURE(k);
    // Entry k-2 ends exactly at 2**64: fine when it is the last, fatal when
    // another entry's offset would have to start there.
    const std::uint64_t sizes[] = {10, UINT64_MAX - data_start(k) - 9, 1};
    CHECK(compute_layout(lens, sizes, k, layout) == (k == 2));
    const std::uint64_t fits[] = {10, UINT64_MAX - data_start(k) - 10, 1};
    REQUIRE(compute_layout(lens, fits, k, layout));
    CHECK(layout.offsets[k - 1] == (k == 2 ? data_start(k) + 10 : UINT64_MAX));
  }
}

TEST_CASE("is_ascii sees a high bit at any position of words and tails") {
  for (std::size_t n = 0; n <= 20; ++n) {
    std::vector<std::uint8_t> text(n, 'a');
    CHECK(is_ascii(text.data(), n));
    for (std::size_t i = 0; i < n; ++i) {
      CAPTURE(n);
      CAPTURE(i);
      text[i] = 0x80;
      CHECK_FALSE(is_ascii(text.data(), n));
      CHECK(is_ascii(text.data(), i));  // bytes before it alone
      text[i] = 0x7f;
    }
  }
}
