// One owner for every OS handle, as leveldb's ScopedHandle: move-only, closed exactly once.
// Traits name the handle type, the value that means "none" and the call that closes it, so a
// WinHTTP handle, a file descriptor and a mutex all live by the same rules.
#pragma once

#include <utility>

namespace velm {

template <class Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != Traits::none(); }
  // Gives the handle up without closing it.
  Handle release() { return std::exchange(handle_, Traits::none()); }
  // Closes the handle held, if any, and holds handle instead.
  void reset(Handle handle = Traits::none()) {
    if (handle_ != Traits::none()) Traits::close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Traits::none();
};

}  // namespace velm
