// The IMX container's byte layout, its table scanner and the writer's layout.
//
// Layout (all integers unsigned little-endian, no padding):
//   header   8 bytes   magic[4] | container_version u16 | file_count u16
//   table    file_count entries from offset 8, each
//                      name_len u16 | name[name_len] (UTF-8) | data_offset u64 | data_size u64
//   data     from data_start = 8 + sum(18 + name_len) to the end of the file;
//            data_offset is absolute from byte 0 of the file.
//
// `scan_table` / `read_entry` walk the table over a byte span, `compute_layout` /
// `encode_table` do the writer's arithmetic. They need no interpreter, keep no
// state, allocate only in proportion to the bytes they are given, and are safe
// on any thread. Names are bytes here; whether they are valid UTF-8 is decided
// by whoever turns them into text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vr {
namespace imx {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kMagicSize = 4;
constexpr std::size_t kNameLenSize = 2;
constexpr std::size_t kLocationSize = 16;
constexpr std::size_t kEntryFixedSize = kNameLenSize + kLocationSize;
constexpr std::size_t kMaxNameLen = 0xFFFF;

// One table entry; the name is `table[name_pos, name_pos + name_len)`.
struct TableEntry {
  std::size_t name_pos;
  std::size_t name_len;
  std::uint64_t data_offset;
  std::uint64_t data_size;
};

enum class TableStatus {
  Complete,         // all `count` entries are in the span
  NeedMore,         // the span ends inside an entry and more bytes may follow
  CutAtNameLength,  // end of data where a name length (2 bytes) is due
  CutAtLocation,    // end of data where offset and size (16 bytes) are due
};

// Progress of a table scan. The scan can be resumed over a longer span that
// begins with the same bytes (the table read in growing pieces).
struct TableCursor {
  std::size_t pos = 0;       // start of the first entry not yet scanned
  std::size_t complete = 0;  // number of complete entries in [0, pos)
  // Set with CutAtNameLength / CutAtLocation: the bytes left for the field
  // that could not be read, `table[rest_pos, rest_pos + rest_len)`.
  std::size_t rest_pos = 0;
  std::size_t rest_len = 0;
  // Set with CutAtLocation: the name of the cut entry, possibly shorter than
  // its stated length when the data ended inside it.
  std::size_t cut_name_pos = 0;
  std::size_t cut_name_len = 0;
};

// Finds the extent of up to `count` entries in `table[0, n)` (the bytes after
// the header), resuming at `cur`; allocates nothing. With `at_end` false a span
// that ends inside an entry yields NeedMore; with `at_end` true it yields the
// cut that the entry-by-entry reading of a file would meet: a name cut short is
// taken as it is, and the missing field after it is the error.
TableStatus scan_table(const std::uint8_t* table, std::size_t n, std::size_t count, bool at_end,
                       TableCursor& cur) noexcept;

// Decodes the complete entry that starts at `pos` (one that `scan_table` has
// passed) and returns the position of the next one.
std::size_t read_entry(const std::uint8_t* table, std::size_t pos, TableEntry& out) noexcept;

// True when every byte of `p[0, n)` is below 0x80.
bool is_ascii(const std::uint8_t* p, std::size_t n) noexcept;

// The writer's layout. `name_lens[i]` and `data_sizes[i]` describe entry i.
struct Layout {
  std::uint64_t table_size = 0;
  std::uint64_t data_start = 0;
  std::vector<std::uint64_t> offsets;  // data_offset of each entry
};
// Returns false when the offsets do not fit in 64 bits.
bool compute_layout(const std::size_t* name_lens, const std::uint64_t* data_sizes, std::size_t n,
                    Layout& out);

// Writes the table (layout.table_size bytes) into `out`. Every name length
// must be at most kMaxNameLen.
void encode_table(std::uint8_t* out, const std::uint8_t* const* names, const std::size_t* name_lens,
                  const std::uint64_t* data_sizes, const Layout& layout, std::size_t n) noexcept;

}  // namespace imx

}  // namespace vr
