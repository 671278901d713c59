#pragma once
// Process-wide one-time initialisation under the interpreter lock.
//
// Until the value is ready, a thread that needs it releases the interpreter lock, enters the
// latch (running the initialisation, or waiting for the thread that runs it), takes the lock
// back for the initialisation work itself, and holds it again afterwards. Releasing the lock
// before waiting is what keeps two threads from deadlocking: the one running the
// initialisation may need the lock (imports do), while the other waits on the latch.
// Once the value is ready it is read without touching the lock. A failed initialisation
// leaves the latch open, so a later call tries again.

#include "python_bindings/py_ref.hpp"

#include <atomic>
#include <exception>
#include <mutex>

namespace glent::py {

class OnceLatch {
 public:
  bool ready() const noexcept { return ready_.load(std::memory_order_acquire); }

  // Runs `init` (with the interpreter lock held) unless it has already completed. Exceptions
  // from `init` propagate to the caller, with the lock held again.
  template <class Init>
  void run(Init&& init) {
    if (ready()) return;
    PyThreadState* thread_state = PyEval_SaveThread();
    std::exception_ptr failure;
    try {
      std::call_once(flag_, [&] {
        PyEval_RestoreThread(thread_state);
        try {
          init();
        } catch (...) {
          thread_state = PyEval_SaveThread();
          throw;
        }
        ready_.store(true, std::memory_order_release);
        thread_state = PyEval_SaveThread();
      });
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(thread_state);
    if (failure) std::rethrow_exception(failure);
  }

 private:
  std::once_flag flag_;
  std::atomic<bool> ready_{false};
};

}  // namespace glent::py
