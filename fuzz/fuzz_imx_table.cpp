// libFuzzer target for the IMX table scanner and the writer's layout.
//
// The input is a container's first bytes: the entry count is bytes 6-7 of the
// header and the table follows from byte 8. Bytes 0-3 (the magic, which the
// scanner never sees) choose how the table is split into growing pieces. Each
// input checks that
//   - a scan of the whole span and a scan resumed over growing prefixes agree;
//   - the cursor's positions describe the span exactly (every complete entry
//     lies inside it, a cut leaves fewer bytes than the missing field needs);
//   - the complete entries, encoded again with the writer's layout, scan back
//     to the same names and sizes, byte for byte apart from the offsets.
// Every prefix is a heap copy of exactly its length, so reading past it is an
// AddressSanitizer report. A failed check aborts.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernels/imx_container.hpp"

namespace {

using namespace vr::imx;

#define FUZZ_CHECK(cond)                                                    \
  do {                                                                      \
    if (!(cond)) {                                                          \
      std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #cond); \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

std::size_t u16_at(const std::uint8_t* p) { return p[0] | (p[1] << 8); }

bool same_cursor(const TableCursor& a, const TableCursor& b) {
  return a.pos == b.pos && a.complete == b.complete && a.rest_pos == b.rest_pos &&
         a.rest_len == b.rest_len && a.cut_name_pos == b.cut_name_pos &&
         a.cut_name_len == b.cut_name_len;
}

void check_cursor(const std::uint8_t* table, std::size_t n, std::size_t count, TableStatus status,
                  const TableCursor& cur) {
  FUZZ_CHECK(cur.complete <= count);
  FUZZ_CHECK(cur.pos <= n);
  FUZZ_CHECK((status == TableStatus::Complete) == (cur.complete == count));
  switch (status) {
    case TableStatus::Complete:
    case TableStatus::NeedMore:
      break;
    case TableStatus::CutAtNameLength:
      FUZZ_CHECK(cur.rest_pos == cur.pos);
      FUZZ_CHECK(cur.rest_len < kNameLenSize);
      FUZZ_CHECK(cur.rest_pos + cur.rest_len == n);
      break;
    case TableStatus::CutAtLocation: {
      FUZZ_CHECK(cur.pos + kNameLenSize <= n);
      const std::size_t stated = u16_at(table + cur.pos);
      FUZZ_CHECK(cur.cut_name_pos == cur.pos + kNameLenSize);
      FUZZ_CHECK(cur.cut_name_len <= stated);
      FUZZ_CHECK(cur.rest_pos == cur.cut_name_pos + cur.cut_name_len);
      FUZZ_CHECK(cur.rest_len < kLocationSize);
      FUZZ_CHECK(cur.rest_pos + cur.rest_len == n);
      if (cur.cut_name_len < stated) FUZZ_CHECK(cur.rest_len == 0);
      break;
    }
  }
}

struct Scan {
  TableStatus status;
  TableCursor cur;
};

// Scans `table[0, n)` resumed over prefixes that grow by `first`, then by as
// much as all before (the way a file is read in pieces).
Scan scan_in_pieces(const std::uint8_t* table, std::size_t n, std::size_t count,
                    std::size_t first) {
  Scan s{TableStatus::NeedMore, {}};
  std::size_t have = 0, step = first;
  for (;;) {
    have = have + step >= n ? n : have + step;
    const bool at_end = have == n;
    std::vector<std::uint8_t> prefix(table, table + have);
    s.status = scan_table(prefix.data(), have, count, at_end, s.cur);
    if (s.status != TableStatus::NeedMore) return s;
    FUZZ_CHECK(!at_end);
    step = have;
  }
}

void check_round_trip(const std::uint8_t* table, const TableCursor& cur) {
  const std::size_t k = cur.complete;
  std::vector<const std::uint8_t*> names(k);
  std::vector<std::size_t> name_lens(k);
  std::vector<std::uint64_t> sizes(k);
  std::size_t pos = 0;
  TableEntry e;
  for (std::size_t i = 0; i < k; ++i) {
    const std::size_t next = read_entry(table, pos, e);
    FUZZ_CHECK(e.name_pos == pos + kNameLenSize);
    FUZZ_CHECK(next == e.name_pos + e.name_len + kLocationSize);
    FUZZ_CHECK(next <= cur.pos);
    names[i] = table + e.name_pos;
    name_lens[i] = e.name_len;
    sizes[i] = e.data_size;
    bool ascii = true;
    for (std::size_t j = 0; j < e.name_len; ++j) ascii &= table[e.name_pos + j] < 0x80;
    FUZZ_CHECK(is_ascii(table + e.name_pos, e.name_len) == ascii);
    pos = next;
  }
  FUZZ_CHECK(pos == cur.pos);

  Layout layout;
  if (!compute_layout(name_lens.data(), sizes.data(), k, layout)) {
    // Only sizes that push a later offset past 2**64 can fail.
    std::uint64_t total = kHeaderSize + cur.pos;
    bool overflow = false;
    for (std::size_t i = 0; i + 1 < k; ++i) {
      if (total > UINT64_MAX - sizes[i]) overflow = true;
      total += overflow ? 0 : sizes[i];
    }
    FUZZ_CHECK(overflow);
    return;
  }
  FUZZ_CHECK(layout.table_size == cur.pos);
  FUZZ_CHECK(layout.data_start == kHeaderSize + cur.pos);
  std::vector<std::uint8_t> encoded(layout.table_size);
  encode_table(encoded.data(), names.data(), name_lens.data(), sizes.data(), layout, k);

  TableCursor again;
  FUZZ_CHECK(scan_table(encoded.data(), encoded.size(), k, true, again) == TableStatus::Complete);
  FUZZ_CHECK(again.pos == cur.pos);
  pos = 0;
  for (std::size_t i = 0; i < k; ++i) {
    const std::size_t next = read_entry(encoded.data(), pos, e);
    FUZZ_CHECK(e.data_offset == layout.offsets[i]);
    if (i > 0) FUZZ_CHECK(layout.offsets[i] == layout.offsets[i - 1] + sizes[i - 1]);
    // Everything but the offset is the input's own bytes.
    FUZZ_CHECK(std::memcmp(encoded.data() + pos, table + pos, kNameLenSize + e.name_len) == 0);
    FUZZ_CHECK(std::memcmp(encoded.data() + next - 8, table + next - 8, 8) == 0);
    pos = next;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderSize) return 0;
  const std::size_t count = u16_at(data + 6);
  const std::size_t n = size - kHeaderSize;
  std::vector<std::uint8_t> table(data + kHeaderSize, data + size);

  TableCursor whole;
  const TableStatus status = scan_table(table.data(), n, count, true, whole);
  FUZZ_CHECK(status != TableStatus::NeedMore);
  check_cursor(table.data(), n, count, status, whole);

  const std::size_t first = 1 + (u16_at(data) % 97);
  const Scan pieces = scan_in_pieces(table.data(), n, count, first);
  FUZZ_CHECK(pieces.status == status);
  FUZZ_CHECK(same_cursor(pieces.cur, whole));

  check_round_trip(table.data(), whole);
  return 0;
}
