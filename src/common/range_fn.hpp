#pragma once
// A borrowed callable run over a range of items [begin, end): what a parallel step hands to
// the threads that run it, without the allocation of a std::function. It refers to the
// callable, which must outlive it.
#include <cstddef>
#include <type_traits>

namespace korvex {

class RangeFn {
 public:
  template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, RangeFn>)
  RangeFn(F& f)  // converts like a reference to the callable
      : self_(&f), call_([](const void* self, std::size_t b, std::size_t e) {
          (*static_cast<F*>(const_cast<void*>(self)))(b, e);
        }) {}
  void operator()(std::size_t begin, std::size_t end) const { call_(self_, begin, end); }

 private:
  const void* self_;
  void (*call_)(const void*, std::size_t, std::size_t);
};

}  // namespace korvex
