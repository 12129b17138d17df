// An owned copy of a message history: every text in one contiguous arena.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

/// Messages in input order; texts live back to back in `arena` so a history of
/// many small messages costs two growing buffers instead of one allocation each.
class MessageBatch {
public:
    struct Entry {
        size_t offset;
        size_t size;
        uint32_t flags;
    };

    void reserve(size_t messages) { entries_.reserve(messages); }

    /// Forgets the messages but keeps the buffers for the next history.
    void clear() noexcept {
        arena_.clear();
        entries_.clear();
    }

    /// Bytes held by the two buffers, used or not.
    size_t capacity_bytes() const noexcept {
        return arena_.capacity() + entries_.capacity() * sizeof(Entry);
    }

    /// Returns both buffers to the allocator.
    void release() noexcept {
        std::string().swap(arena_);
        std::vector<Entry>().swap(entries_);
    }

    void add(std::string_view text, uint32_t flags) {
        entries_.push_back(Entry{arena_.size(), text.size(), flags});
        arena_.append(text);
    }

    size_t size() const noexcept { return entries_.size(); }
    uint32_t flags(size_t i) const noexcept { return entries_[i].flags; }
    std::string_view text(size_t i) const noexcept {
        return std::string_view(arena_.data() + entries_[i].offset, entries_[i].size);
    }

private:
    std::string arena_;
    std::vector<Entry> entries_;
};

}  // namespace qm
