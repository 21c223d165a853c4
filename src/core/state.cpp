#include "core/state.hpp"

#include <cstdlib>
#include <new>

namespace questrand {

State::State() = default;

void* State::operator new(std::size_t size) {
  void* p = std::calloc(1, size);  // fresh pages of a large block come zeroed from the system, untouched
  if (!p) throw std::bad_alloc();
  return p;
}

void State::operator delete(void* p) noexcept { std::free(p); }

}  // namespace questrand
