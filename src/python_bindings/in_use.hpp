#pragma once
// The in-use mark every object of this module carries.
//
// 0 means free, a positive count the number of shared uses, EXCLUSIVE one exclusive use. The
// interpreter lock is held throughout every call, so a conflict only arises when Python code
// run by a conversion (an iterator, __index__, __float__) calls back into the same object;
// the inner call is then refused instead of seeing, or changing, state mid-update.

#include <atomic>
#include <cstdint>

#include "python_bindings/errors.hpp"
#include "python_bindings/py_ref.hpp"

namespace glent::py {

class UseCounter {
 public:
  static constexpr std::uint32_t EXCLUSIVE = UINT32_MAX;

  // Throws (RuntimeError "Already mutably borrowed") while the object is in exclusive use.
  void acquire_shared() {
    std::uint32_t current = count_.load(std::memory_order_relaxed);
    do {
      if (current >= EXCLUSIVE - 1) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!count_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
  }
  void release_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }

  // Throws (RuntimeError "Already borrowed") while the object is in any use.
  void acquire_exclusive() {
    std::uint32_t expected = 0;
    if (!count_.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      raise(PyExc_RuntimeError, "Already borrowed");
    }
  }
  void release_exclusive() noexcept { count_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::uint32_t> count_{0};
};

// Holds a shared use of `counter` (and a reference to its owner, which therefore stays alive)
// until destroyed.
class SharedUse {
 public:
  SharedUse(PyObject* owner, UseCounter& counter) : counter_(&counter) {
    counter.acquire_shared();
    owner_ = Ref::borrow(owner);
  }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;
  ~SharedUse() { counter_->release_shared(); }

 private:
  UseCounter* counter_;
  Ref owner_;
};

class ExclusiveUse {
 public:
  ExclusiveUse(PyObject* owner, UseCounter& counter) : counter_(&counter) {
    counter.acquire_exclusive();
    owner_ = Ref::borrow(owner);
  }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;
  ~ExclusiveUse() { counter_->release_exclusive(); }

 private:
  UseCounter* counter_;
  Ref owner_;
};

}  // namespace glent::py
