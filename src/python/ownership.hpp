#pragma once
// The two words every model object carries beside its contents: the thread that owns it and a
// borrow flag that refuses conflicting use while a call is running (re-entry from Python code the
// call runs, or a second thread on an interpreter without the global lock).

#include <cstdint>

namespace quillmere::python {

// A small number naming the calling thread, handed out in order of first use from 1 on.
std::uint64_t current_thread_id();

// True when the calling thread is `owner`; otherwise raises PanicException naming `type_name`
// and the two threads, and returns false.
bool check_owner(std::uint64_t owner, const char* type_name);

// 0: free; n > 0: n shared borrows; -1: one exclusive borrow.
struct BorrowFlag {
    std::int64_t state = 0;
};

enum class BorrowKind { Shared, Exclusive };

// Holds one borrow for its lifetime. When the flag conflicts it holds nothing and RuntimeError is
// set: "Already borrowed" for an exclusive request, "Already mutably borrowed" for a shared one.
class Borrow {
  public:
    Borrow(BorrowFlag& flag, BorrowKind kind);
    ~Borrow();
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

    bool held() const { return held_; }

  private:
    BorrowFlag& flag_;
    BorrowKind kind_;
    bool held_ = false;
};

}  // namespace quillmere::python
