#include "xor_cipher.hpp"

#include <algorithm>
#include <thread>

#include "kernels/xor_cipher.hpp"
#include "native.hpp"

namespace vr {

namespace {

// Spans at least this long are processed without the GIL.
constexpr std::size_t kReleaseGilBytes = 256 * 1024;
// Fresh outputs at least this long get the huge-page advice.
constexpr std::size_t kHugePageBytes = 4 * 1024 * 1024;
// Spans at least this long are split between two threads: filling fresh
// memory is bound by page faults, which two cores take in parallel.
constexpr std::size_t kTwoThreadBytes = 16 * 1024 * 1024;

// XORs `n` bytes of `src` into a new bytes object, starting at key position `key_pos`.
Ref xor_to_new_bytes(const std::uint8_t* src, std::size_t n, const std::uint8_t* key,
                     std::size_t key_len, std::size_t key_pos) {
  Ref out = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  auto* dst = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(out.get()));
  if (n >= kReleaseGilBytes) {
    GilRelease nogil;
    if (n >= kHugePageBytes) advise_huge_pages(dst, n);
    const bool split = n >= kTwoThreadBytes && std::thread::hardware_concurrency() >= 2;
    xor_stream_parallel(dst, src, n, key, key_len, key_pos, split ? 2 : 1);
  } else {
    xor_stream(dst, src, n, key, key_len, key_pos);
  }
  return out;
}

Py_ssize_t length_of(PyObject* o) {
  Py_ssize_t n = PyObject_Size(o);
  if (n < 0) throw PyErrorSet{};
  return n;
}

// Raises Python's own ZeroDivisionError for `a % 0`.
[[noreturn]] void raise_modulo_by_zero(PyObject* a) {
  Ref zero = integer(0);
  Ref r(PyNumber_Remainder(a, zero.get()));
  if (!r) throw PyErrorSet{};
  raise(PyExc_ZeroDivisionError, "integer modulo by zero");
}

Ref py_is_encrypted_file(PyObject* const* argv) {
  PyObject* path = argv[0];
  if (PyUnicode_CheckExact(path)) {
    Ref suffix = Ref::borrow(VR_STR(".vrtensor"));
    Py_ssize_t r = PyUnicode_Tailmatch(path, suffix.get(), 0, PY_SSIZE_T_MAX, 1);
    if (r < 0) throw PyErrorSet{};
    return boolean(r == 1);
  }
  return call_method(path, "endswith", VR_STR(".vrtensor"));
}

Ref py_xor_decrypt_bytes(PyObject* const* argv) {
  PyObject* data = argv[0];
  PyObject* key = argv[1];
  Py_ssize_t key_len = length_of(key);
  Buffer data_buf(data);
  Buffer key_buf(key);
  if (key_len == 0 || key_buf.size() == 0) {
    Ref n = integer(static_cast<long long>(data_buf.size()));
    Ref zero = integer(0);
    Ref r(PyNumber_FloorDivide(n.get(), zero.get()));
    if (!r) throw PyErrorSet{};
    raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
  }
  return xor_to_new_bytes(data_buf.data(), data_buf.size(), key_buf.data(), key_buf.size(), 0);
}

// Writes all of `payload` through `f.write`: one call when the file takes it
// whole, further calls with the rest when it reports a short write.
void write_all(PyObject* f, PyObject* payload, std::size_t total) {
  Ref written = call_method(f, "write", payload);
  if (!PyLong_Check(written.get())) return;  // None or another answer: taken as complete
  long long w = PyLong_AsLongLong(written.get());
  if (w == -1 && PyErr_Occurred()) {
    if (!clear_ordinary_error()) throw PyErrorSet{};
    return;
  }
  std::size_t done = w < 0 ? 0 : static_cast<std::size_t>(w);
  if (done >= total) return;
  Ref view = check(PyMemoryView_FromObject(payload));
  while (done < total) {
    Ref rest = check(PySequence_GetSlice(view.get(), static_cast<Py_ssize_t>(done),
                                         static_cast<Py_ssize_t>(total)));
    Ref r = call_method(f, "write", rest.get());
    if (!PyLong_Check(r.get())) return;
    long long step = as_ll(r.get());
    if (step <= 0) {
      PyErr_Format(PyExc_OSError, "write() accepted no bytes: %zu of %zu bytes remain unwritten",
                   total - done, total);
      throw PyErrorSet{};
    }
    done += static_cast<std::size_t>(step);
  }
}

Ref py_write_xor_encrypted(PyObject* const* argv) {
  PyObject* f = argv[0];
  PyObject* file_offset = argv[1];
  PyObject* data = argv[2];
  PyObject* key = argv[3];
  Py_ssize_t key_len = length_of(key);
  if (key_len == 0) raise_modulo_by_zero(file_offset);
  Buffer data_buf(data);
  Buffer key_buf(key);
  if (key_buf.size() == 0) raise_modulo_by_zero(file_offset);
  Ref modulus = integer(static_cast<long long>(key_buf.size()));
  Ref start_obj = check(PyNumber_Remainder(file_offset, modulus.get()));
  Ref start_index = check(PyNumber_Index(start_obj.get()));
  auto key_start = static_cast<std::size_t>(as_ll(start_index.get()));
  Ref out = xor_to_new_bytes(data_buf.data(), data_buf.size(), key_buf.data(), key_buf.size(),
                             key_start);
  write_all(f, out.get(), data_buf.size());
  return none();
}

Ref py_read_and_decrypt_file(PyObject* const* argv) {
  PyObject* path = argv[0];
  PyObject* key = argv[1];
  Ref data;
  Ref f = open_file(path, "rb");
  with_context(f.get(), [&](PyObject* fh) { data = call_method(fh, "read"); });
  Ref decrypt = module_attr("xor_decrypt_bytes");
  return call(decrypt.get(), data.get(), key);
}

// Largest and smallest read sizes of the streaming decryption. The requested
// chunk size only changes how the source is split, never the output, so very
// small requests are raised and unbounded ones capped.
constexpr std::size_t kStreamMinChunk = 1 << 20;
constexpr std::size_t kStreamMaxChunk = 16 << 20;

Ref py_streaming_xor_decrypt_file(PyObject* const* argv) {
  PyObject* src_path = argv[0];
  PyObject* dst_path = argv[1];
  PyObject* key = argv[2];
  PyObject* chunk_size = argv[3];

  Py_ssize_t key_len = length_of(key);
  Buffer key_buf(key);
  if (key_len == 0 || key_buf.size() == 0) {
    Ref zero = integer(0);
    raise_modulo_by_zero(zero.get());
  }
  std::size_t chunk = kStreamMaxChunk;  // None or negative: the whole file, in capped pieces
  if (chunk_size != Py_None) {
    Ref index = check(PyNumber_Index(chunk_size));
    int sign = PyObject_RichCompareBool(index.get(), integer(0).get(), Py_GT);
    check_status(sign);
    if (sign) {
      Py_ssize_t requested = PyNumber_AsSsize_t(index.get(), nullptr);  // clamps on overflow
      if (requested < 0) requested = PY_SSIZE_T_MAX;
      chunk = std::clamp(static_cast<std::size_t>(requested), kStreamMinChunk, kStreamMaxChunk);
    } else if (PyObject_RichCompareBool(index.get(), integer(0).get(), Py_EQ) == 1) {
      raise(PyExc_ValueError, "chunk_size must not be 0 (use None or a negative value to read "
                              "the whole source at once)");
    }
  }

  // The read buffer is a bytearray, so that a view of it that a file object
  // might keep stays valid memory.
  Ref buffer = check(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(chunk)));
  auto* data = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(buffer.get()));
  const std::uint8_t* k = key_buf.data();
  const std::size_t L = key_buf.size();

  Ref src_file = open_file(src_path, "rb");
  with_context(src_file.get(), [&](PyObject* src) {
    Ref dst_file = open_file(dst_path, "wb");
    with_context(dst_file.get(), [&](PyObject* dst) {
      Ref whole = check(PyMemoryView_FromObject(buffer.get()));
      std::size_t offset_mod = 0;  // absolute position of the next chunk, mod L
      for (;;) {
        Ref got = call_method(src, "readinto", whole.get());
        Ref got_index = check(PyNumber_Index(got.get()));
        long long n = as_ll(got_index.get());
        if (n <= 0) break;
        auto len = std::min(static_cast<std::size_t>(n), chunk);
        if (len >= kReleaseGilBytes) {
          GilRelease nogil;
          xor_stream(data, data, len, k, L, offset_mod);
        } else {
          xor_stream(data, data, len, k, L, offset_mod);
        }
        Ref piece = len == chunk ? whole
                                 : check(PySequence_GetSlice(whole.get(), 0,
                                                             static_cast<Py_ssize_t>(len)));
        write_all(dst, piece.get(), len);
        offset_mod = (offset_mod + len % L) % L;
      }
    });
  });
  return none();
}

PyMethodDef entries[] = {
    VR_ENTRY("is_encrypted_file", py_is_encrypted_file, 1),
    VR_ENTRY("xor_decrypt_bytes", py_xor_decrypt_bytes, 2),
    VR_ENTRY("write_xor_encrypted", py_write_xor_encrypted, 4),
    VR_ENTRY("read_and_decrypt_file", py_read_and_decrypt_file, 2),
    VR_ENTRY("streaming_xor_decrypt_file", py_streaming_xor_decrypt_file, 4),
    VR_ENTRIES_END,
};

}  // namespace

void register_xor_cipher(PyObject* native) { add_entries(native, entries); }

}  // namespace vr
