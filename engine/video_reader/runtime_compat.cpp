// What keeps the module's needs from the C and C++ runtimes at versions that
// glibc 2.28 systems provide (their libstdc++ is GCC 8's, GLIBCXX_3.4.25),
// whichever newer toolchain builds it (GCC 12 to 16, glibc 2.36 to 2.43 seen).
// Linked only when libstdc++ is shared (the default): `objdump -T` on the
// module then lists nothing newer than GLIBC_2.14, GLIBCXX_3.4.22 and
// CXXABI_1.3.9, and auditwheel tags the wheel manylinux_2_24 (x86-64; aarch64
// has no symbol versions older than GLIBC_2.17). The module calls no C library
// function that glibc 2.33 versioned anew (the fstat family: see
// regular_file_size in imx_container.cpp). The definitions
// stay inside the module (its version script exports PyInit_video_reader
// alone), so they bind only the module's own calls.
#include <exception>
#include <new>

namespace std {
// GCC 11 and newer call this from std::allocator<T>::allocate for a count past
// max_size(); libstdc++ exports it only from GLIBCXX_3.4.29 (GCC 11) on. The
// exception it throws (std::bad_array_new_length, CXXABI_1.3.8) is older.
void __throw_bad_array_new_length() { throw std::bad_array_new_length(); }
}  // namespace std

extern "C" {
void* __cxa_begin_catch(void* exception) noexcept;  // CXXABI_1.3

// GCC 14 and newer call this where an exception would leave a noexcept
// function; libstdc++ exports it only from CXXABI_1.3.15 (GCC 14) on. It does
// what the runtime's own does (the exception counts as caught while the
// terminate handler runs), without the per-exception handler that C++ has not
// set since C++17.
[[noreturn]] void __cxa_call_terminate(void* exception) noexcept {
  if (exception != nullptr) __cxa_begin_catch(exception);
  std::terminate();
}
}
