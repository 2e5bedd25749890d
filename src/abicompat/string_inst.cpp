// std::string members for modules built by a g++ whose headers leave them
// to the library (g++ 16 in C++20 mode declares basic_string<char> an
// extern template, so a call to _M_dispose stays a call into
// GLIBCXX_3.4.21, which manylinux2014's libstdc++ lacks).  Instantiated
// here instead; the linker takes this object only when a module refers to
// one of them, and keeps what it takes local to the module.  Only the
// members that such builds were seen to call: the whole class would bring
// in more of the library than it saves.
#include <string>

template void std::basic_string<char>::_M_dispose();
