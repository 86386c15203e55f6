// A standard header first: Asio decides from the library's macros whether to use
// std::aligned_alloc, and every other file sees them before Asio does. Both halves of one
// allocation must agree on it.
#include <cstdlib>

#include <asio/impl/src.hpp>
