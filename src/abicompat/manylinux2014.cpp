// C++ runtime entry points that newer g++ versions call but that the
// libstdc++ of manylinux2014 systems (GCC 4.8: GLIBCXX_3.4.19,
// CXXABI_1.3.7) does not have.  Linked into each extension module from a
// static library whose symbols stay local to the module (--exclude-libs),
// so a module calls these instead of asking the system's libstdc++ for
// them.  Sized deallocation (CXXABI_1.3.9) is kept out by compiling with
// -fno-sized-deallocation instead.
#include <cstdlib>
#include <exception>
#include <new>

namespace std {

// GCC 11 (GLIBCXX_3.4.29): std::allocator<T>::allocate(n) calls it when
// n * sizeof(T) would not fit in a size_t.  std::bad_array_new_length
// (CXXABI_1.3.8) is itself too new; it derives from std::bad_alloc, which
// every handler of ours catches, so the same handlers see this one.
[[noreturn]] void __throw_bad_array_new_length() { throw std::bad_alloc(); }

}  // namespace std

extern "C" {
void* __cxa_begin_catch(void*) noexcept;

// GCC 4.9 (CXXABI_1.3.8): an array new of a run-time length calls it when
// the length is negative or too large; bad_alloc, as above.
[[noreturn]] void __cxa_throw_bad_array_new_length() { throw std::bad_alloc(); }

// GCC 14 (CXXABI_1.3.15): called when an exception leaves a noexcept
// function or a destructor during unwinding; it terminates either way.
[[noreturn]] void __cxa_call_terminate(void* exception) noexcept {
    if (exception) __cxa_begin_catch(exception);
    std::terminate();
}
}
