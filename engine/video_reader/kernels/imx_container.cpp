#include "kernels/imx_container.hpp"

#include <algorithm>
#include <cstring>

namespace vr {

namespace imx {

namespace {

inline std::uint16_t load_u16(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint64_t load_u64(const std::uint8_t* p) noexcept {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

inline void store_u16(std::uint8_t* p, std::uint16_t v) noexcept {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void store_u64(std::uint8_t* p, std::uint64_t v) noexcept {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

TableStatus scan_table(const std::uint8_t* table, std::size_t n, std::size_t count, bool at_end,
                       TableCursor& cur) noexcept {
  std::size_t pos = cur.pos;
  while (cur.complete < count) {
    const std::size_t avail = n - pos;
    if (avail < kNameLenSize) {
      if (!at_end) return TableStatus::NeedMore;
      cur.rest_pos = pos;
      cur.rest_len = avail;
      return TableStatus::CutAtNameLength;
    }
    const std::size_t name_len = load_u16(table + pos);
    const std::size_t after = avail - kNameLenSize;
    if (after < name_len + kLocationSize) {
      if (!at_end) return TableStatus::NeedMore;
      const std::size_t got = std::min(name_len, after);
      cur.cut_name_pos = pos + kNameLenSize;
      cur.cut_name_len = got;
      cur.rest_pos = cur.cut_name_pos + got;
      cur.rest_len = after - got;
      return TableStatus::CutAtLocation;
    }
    pos += kEntryFixedSize + name_len;
    cur.pos = pos;
    ++cur.complete;
  }
  return TableStatus::Complete;
}

bool is_ascii(const std::uint8_t* p, std::size_t n) noexcept {
  std::uint64_t acc = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  for (; i < n; ++i) acc |= p[i];
  return (acc & 0x8080808080808080ULL) == 0;
}

std::size_t read_entry(const std::uint8_t* table, std::size_t pos, TableEntry& out) noexcept {
  out.name_len = load_u16(table + pos);
  out.name_pos = pos + kNameLenSize;
  const std::uint8_t* loc = table + out.name_pos + out.name_len;
  out.data_offset = load_u64(loc);
  out.data_size = load_u64(loc + 8);
  return out.name_pos + out.name_len + kLocationSize;
}

bool compute_layout(const std::size_t* name_lens, const std::uint64_t* data_sizes, std::size_t n,
                    Layout& out) {
  std::uint64_t table_size = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t add = kEntryFixedSize + static_cast<std::uint64_t>(name_lens[i]);
    if (table_size > UINT64_MAX - add) return false;
    table_size += add;
  }
  if (table_size > UINT64_MAX - kHeaderSize) return false;
  out.table_size = table_size;
  out.data_start = kHeaderSize + table_size;
  out.offsets.resize(n);
  std::uint64_t current = out.data_start;
  for (std::size_t i = 0; i < n; ++i) {
    out.offsets[i] = current;
    if (current > UINT64_MAX - data_sizes[i]) {
      // The last entry may end exactly at 2**64; only a following offset would not fit.
      if (i + 1 < n) return false;
      break;
    }
    current += data_sizes[i];
  }
  return true;
}

void encode_table(std::uint8_t* out, const std::uint8_t* const* names, const std::size_t* name_lens,
                  const std::uint64_t* data_sizes, const Layout& layout, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    store_u16(out, static_cast<std::uint16_t>(name_lens[i]));
    out += kNameLenSize;
    if (name_lens[i] > 0) std::memcpy(out, names[i], name_lens[i]);
    out += name_lens[i];
    store_u64(out, layout.offsets[i]);
    store_u64(out + 8, data_sizes[i]);
    out += kLocationSize;
  }
}

}  // namespace imx

}  // namespace vr
