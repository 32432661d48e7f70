#pragma once
// Fixed-size slots for records that live as long as a connection, carved from chunks of many.
// Allocated from the heap one by one, they land between the short-lived blocks of each log-on
// (its password check, the fields of its message, the user list sent to it); once those are
// freed, the holes between the records stay, and cost an idle connection more than its record.
// Kept together, the records leave no holes, and a chunk whose slots are all free goes back.
#include <algorithm>
#include <cstddef>
#include <functional>
#include <mutex>
#include <new>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WISPLINE_POOL_POISON 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define WISPLINE_POOL_POISON 1
#endif
#ifdef WISPLINE_POOL_POISON
#include <sanitizer/asan_interface.h>
#endif

namespace wispline::server
{

template <std::size_t SlotSize, std::size_t SlotsPerChunk> class SlotPool
{
    static_assert(SlotSize >= sizeof(void*) && SlotSize % alignof(std::max_align_t) == 0,
                  "a slot holds a free-list link and keeps the heap's alignment");

public:
    static void* take()
    {
        SlotPool& pool = instance();
        std::lock_guard lock(pool.mutex_);
        return pool.takeLocked();
    }

    static void give(void* slot)
    {
        if (!slot)
            return;
        SlotPool& pool = instance();
        std::lock_guard lock(pool.mutex_);
        pool.giveLocked(slot);
    }

private:
    struct Chunk {
        Chunk* nextOpen = nullptr; // among the chunks with a free slot
        Chunk* prevOpen = nullptr;
        void* free = nullptr; // its free slots, linked through their first bytes
        std::size_t used = 0;
        std::size_t fresh = 0; // slots never handed out yet lie past this one
        bool open = false;

        char* slotArea() { return reinterpret_cast<char*>(this) + kHeader; }
    };
    static constexpr std::size_t kHeader = (sizeof(Chunk) + alignof(std::max_align_t) - 1) /
                                           alignof(std::max_align_t) * alignof(std::max_align_t);
    static constexpr std::size_t kChunkBytes = kHeader + SlotSize * SlotsPerChunk;

    static SlotPool& instance()
    {
        // Never destroyed: records may be freed while the process ends.
        static SlotPool* pool = new SlotPool;
        return *pool;
    }

    void* takeLocked()
    {
        if (!open_) {
            auto* chunk = new (::operator new(kChunkBytes)) Chunk;
#ifdef WISPLINE_POOL_POISON
            ASAN_POISON_MEMORY_REGION(chunk->slotArea(), SlotSize * SlotsPerChunk);
#endif
            chunks_.insert(
                std::upper_bound(chunks_.begin(), chunks_.end(), chunk, std::less<Chunk*>()),
                chunk);
            openChunk(chunk);
        }
        Chunk* chunk = open_;
        void* slot;
        if (chunk->free) {
            slot = chunk->free;
#ifdef WISPLINE_POOL_POISON
            ASAN_UNPOISON_MEMORY_REGION(slot, SlotSize);
#endif
            chunk->free = *static_cast<void**>(slot);
        } else {
            slot = chunk->slotArea() + chunk->fresh++ * SlotSize;
#ifdef WISPLINE_POOL_POISON
            ASAN_UNPOISON_MEMORY_REGION(slot, SlotSize);
#endif
        }
        if (++chunk->used == SlotsPerChunk)
            closeChunk(chunk);
        return slot;
    }

    void giveLocked(void* slot)
    {
        // The chunk holding it: the last one that starts at or below it.
        auto it = std::upper_bound(chunks_.begin(), chunks_.end(), static_cast<Chunk*>(slot),
                                   std::less<Chunk*>());
        Chunk* chunk = *--it;
        *static_cast<void**>(slot) = chunk->free;
        chunk->free = slot;
#ifdef WISPLINE_POOL_POISON
        ASAN_POISON_MEMORY_REGION(slot, SlotSize);
#endif
        if (--chunk->used == 0 && (open_ != chunk || chunk->nextOpen)) {
            // Empty, and not the only chunk with room: it goes back to the heap.
            if (chunk->open)
                closeChunk(chunk);
            chunks_.erase(it);
#ifdef WISPLINE_POOL_POISON
            ASAN_UNPOISON_MEMORY_REGION(chunk->slotArea(), SlotSize * SlotsPerChunk);
#endif
            chunk->~Chunk();
            ::operator delete(chunk);
            return;
        }
        if (!chunk->open)
            openChunk(chunk);
    }

    void openChunk(Chunk* chunk)
    {
        chunk->open = true;
        chunk->prevOpen = nullptr;
        chunk->nextOpen = open_;
        if (open_)
            open_->prevOpen = chunk;
        open_ = chunk;
    }

    void closeChunk(Chunk* chunk)
    {
        chunk->open = false;
        if (chunk->prevOpen)
            chunk->prevOpen->nextOpen = chunk->nextOpen;
        else
            open_ = chunk->nextOpen;
        if (chunk->nextOpen)
            chunk->nextOpen->prevOpen = chunk->prevOpen;
        chunk->nextOpen = chunk->prevOpen = nullptr;
    }

    std::mutex mutex_;
    Chunk* open_ = nullptr;      // the chunks with a free slot, the one given to last first
    std::vector<Chunk*> chunks_; // all of them, by address
};

// A record kept in a pool: operator new and delete of a class derived from it.
// Record is complete only in the bodies, where the pool is named.
template <typename Record, std::size_t SlotsPerChunk> struct Pooled {
    static void* operator new(std::size_t size)
    {
        if (size != sizeof(Record))
            return ::operator new(size);
        return SlotPool<slotOf(sizeof(Record)), SlotsPerChunk>::take();
    }
    static void operator delete(void* slot, std::size_t size)
    {
        if (size != sizeof(Record))
            ::operator delete(slot);
        else
            SlotPool<slotOf(sizeof(Record)), SlotsPerChunk>::give(slot);
    }

private:
    static constexpr std::size_t slotOf(std::size_t size)
    {
        return (size + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
               alignof(std::max_align_t);
    }
};

} // namespace wispline::server

namespace wispline::server
{

// An allocator for the nodes of a long-lived container (one per connection): single nodes come
// from a pool, arrays (a hash table's buckets) from the heap.
template <typename T> struct PoolAllocator {
    using value_type = T;
    PoolAllocator() = default;
    template <typename U> PoolAllocator(const PoolAllocator<U>&) {}

    T* allocate(std::size_t n)
    {
        if (n != 1)
            return static_cast<T*>(::operator new(n * sizeof(T)));
        return static_cast<T*>(SlotPool<kSlot, 256>::take());
    }
    void deallocate(T* p, std::size_t n)
    {
        if (n != 1)
            ::operator delete(p);
        else
            SlotPool<kSlot, 256>::give(p);
    }
    template <typename U> bool operator==(const PoolAllocator<U>&) const { return true; }
    template <typename U> bool operator!=(const PoolAllocator<U>&) const { return false; }

private:
    static constexpr std::size_t kSlot = (sizeof(T) + alignof(std::max_align_t) - 1) /
                                         alignof(std::max_align_t) * alignof(std::max_align_t);
};

} // namespace wispline::server
