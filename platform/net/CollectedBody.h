// The body a data task collects for its completion handler (I/O thread only).
//
// The first megabyte goes into a plain vector, which is all a usual reply needs. Past it, bytes go into
// page-mapped blocks of a fixed size instead of one growing vector: a vector that doubles holds its old and
// new storage at once (a 64 MiB body briefly needs 96 MiB), and the allocator may keep the blocks it
// outgrew. `take()` joins the blocks into one vector, unmapping each as soon as it is copied, so the process
// never holds much more than the body itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CollectedBody {
  public:
    static constexpr size_t kBlockSize = size_t(1) << 20;

    CollectedBody() = default;
    CollectedBody(const CollectedBody&) = delete;
    CollectedBody& operator=(const CollectedBody&) = delete;
    ~CollectedBody() { clear(); }

    // False when no block could be mapped; nothing of `bytes` is kept then.
    bool append(const void* bytes, size_t length);
    size_t size() const { return first_.size() + size_; }
    // Everything appended, in order; the collector is empty afterwards.
    std::vector<uint8_t> take();
    void clear();

  private:
    std::vector<uint8_t> first_;    // up to kBlockSize bytes
    std::vector<uint8_t*> blocks_;  // what follows, kBlockSize bytes a block
    size_t size_ = 0;               // bytes in blocks_
};
