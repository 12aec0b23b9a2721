#include "platform/net/CollectedBody.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

uint8_t* mapBlock() {
    void* block = ::mmap(nullptr, CollectedBody::kBlockSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : static_cast<uint8_t*>(block);
}

void unmapBlock(uint8_t* block) {
    ::munmap(block, CollectedBody::kBlockSize);
}

}  // namespace

bool CollectedBody::append(const void* bytes, size_t length) {
    auto from = static_cast<const uint8_t*>(bytes);
    if (blocks_.empty() && first_.size() + length <= kBlockSize) {
        first_.insert(first_.end(), from, from + length);
        return true;
    }
    // Map whatever blocks the bytes need first, so that a failure keeps nothing half-appended.
    const size_t needed = (size_ + length + kBlockSize - 1) / kBlockSize;
    const size_t had = blocks_.size();
    while (blocks_.size() < needed) {
        uint8_t* block = mapBlock();
        if (!block) {
            while (blocks_.size() > had) {
                unmapBlock(blocks_.back());
                blocks_.pop_back();
            }
            return false;
        }
        blocks_.push_back(block);
    }
    while (length > 0) {
        size_t offset = size_ % kBlockSize;
        size_t n = std::min(length, kBlockSize - offset);
        std::memcpy(blocks_[size_ / kBlockSize] + offset, from, n);
        from += n;
        size_ += n;
        length -= n;
    }
    return true;
}

std::vector<uint8_t> CollectedBody::take() {
    if (blocks_.empty()) return std::exchange(first_, {});
    std::vector<uint8_t> joined;
    // reserve() maps pages without touching them: they become resident only as the blocks are copied in.
    joined.reserve(first_.size() + size_);
    joined.insert(joined.end(), first_.begin(), first_.end());
    std::vector<uint8_t>().swap(first_);
    size_t left = size_;
    for (uint8_t* block : blocks_) {
        size_t n = std::min(left, kBlockSize);
        joined.insert(joined.end(), block, block + n);
        left -= n;
        unmapBlock(block);
    }
    blocks_.clear();
    size_ = 0;
    return joined;
}

void CollectedBody::clear() {
    std::vector<uint8_t>().swap(first_);
    for (uint8_t* block : blocks_) unmapBlock(block);
    blocks_.clear();
    size_ = 0;
}
