// The standard library's own throws, for the Windows programs. libstdc++
// raises length_error, out_of_range and the like through these functions,
// which live in one archive member with every exception class that carries
// a string, and those classes pull in both of its string implementations:
// 86 KiB of a 170 KiB program, linked statically. Nothing in the program
// catches them by type: an escaped one reaches the entry point and is shown
// by the exception display. These throw one small exception with the same
// text instead, and bad_alloc as before.
#include <exception>
#include <new>

namespace {

class LibraryError : public std::exception {
 public:
  explicit LibraryError(const char* what) : what_(what) {}
  const char* what() const noexcept override { return what_; }

 private:
  const char* what_;  // the library's own literal, never freed
};

}  // namespace

namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_logic_error(const char* what) { throw LibraryError(what); }
void __throw_length_error(const char* what) { throw LibraryError(what); }
void __throw_invalid_argument(const char* what) { throw LibraryError(what); }
void __throw_out_of_range(const char* what) { throw LibraryError(what); }
// The format's arguments are left out: the display shows no library text.
void __throw_out_of_range_fmt(const char* format, ...) { throw LibraryError(format); }

}  // namespace std
