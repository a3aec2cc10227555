// Records that callbacks and the ready list find by number: a table of
// entries with stable addresses (chunks that never move), each with a
// generation that changes when the entry is freed, so that a note about a
// record that has since gone (an update ready for an ended monitor, a late
// answer to a closed request) matches nothing.
//
// Adding and removing entries, and finding them from a callback, are under
// the callback lock; the entries' fields say for themselves which are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace tessaly {

template <typename T, std::size_t kChunk = 1024>
class Pool {
public:
    static constexpr std::size_t kMaxChunks = 4096;  // 4 million entries

    // A free entry's index (a fresh T in it), or -1 when the pool is full.
    long add() {
        std::size_t index;
        if (!free_.empty()) {
            index = free_.back();
            free_.pop_back();
        } else {
            if (size_ == kChunk * kMaxChunks) return -1;
            index = size_++;
            std::size_t chunk = index / kChunk;
            if (!chunks_[chunk]) chunks_[chunk].reset(new Entry[kChunk]);
        }
        Entry& entry = entryAt(index);
        entry.value = T();
        entry.used = true;
        ++live_;
        return static_cast<long>(index);
    }

    // Frees an entry: its generation moves on.
    void remove(std::size_t index) {
        Entry& entry = entryAt(index);
        if (!entry.used) return;
        entry.used = false;
        ++entry.generation;
        entry.value = T();
        free_.push_back(index);
        --live_;
    }

    T& operator[](std::size_t index) { return entryAt(index).value; }
    uint32_t generation(std::size_t index) const { return entryAt(index).generation; }

    // The entry of a note, if it is still the one the note was made for.
    T* find(std::size_t index, uint32_t generation) {
        if (index >= size_) return nullptr;
        Entry& entry = entryAt(index);
        return entry.used && entry.generation == generation ? &entry.value : nullptr;
    }
    bool used(std::size_t index) const { return index < size_ && entryAt(index).used; }

    std::size_t size() const { return size_; }    // indexes handed out so far
    std::size_t live() const { return live_; }

private:
    struct Entry {
        T value{};
        uint32_t generation = 1;
        bool used = false;
    };
    Entry& entryAt(std::size_t index) { return chunks_[index / kChunk][index % kChunk]; }
    const Entry& entryAt(std::size_t index) const { return chunks_[index / kChunk][index % kChunk]; }

    std::unique_ptr<Entry[]> chunks_[kMaxChunks];
    std::vector<std::size_t> free_;
    std::size_t size_ = 0;
    std::size_t live_ = 0;
};

// A record's index and generation as one libca user argument.
constexpr unsigned kTagIndexBits = sizeof(void*) >= 8 ? 32 : 22;

inline void* packTag(std::size_t index, uint32_t generation) {
    uintptr_t mask = (uintptr_t{1} << kTagIndexBits) - 1;
    return reinterpret_cast<void*>((static_cast<uintptr_t>(generation) << kTagIndexBits) |
                                   (static_cast<uintptr_t>(index) & mask));
}
inline std::size_t tagIndex(void* tag) {
    return static_cast<std::size_t>(reinterpret_cast<uintptr_t>(tag) & ((uintptr_t{1} << kTagIndexBits) - 1));
}
inline uint32_t tagGeneration(void* tag) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(tag) >> kTagIndexBits);
}
// Whether a tag names the generation given (generations wrap in the bits
// a tag has for them).
inline bool tagMatches(void* tag, uint32_t generation) {
    return tag == packTag(tagIndex(tag), generation);
}

}  // namespace tessaly
