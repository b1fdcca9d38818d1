// A table of what depends on a colour alone (its appearance model responses,
// its L*a*b* bins), kept across the images of a run so that a colour met
// again is not computed again. Internal to programs/comparison.
#pragma once

#include "toolkit/common/ColourIndex.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace comparison {

// Entries of type Entry for colours keyed B | G << 8 | R << 16, laid out as
// DistinctColours lays out an image's colours: a presence bitmap of all 2^24
// colours, and for each of its 64-bit words the place of its colours'
// entries, in key order, in one pool. Looking up an image's colours in key
// order thus reads the table front to back.
//
// The pool holds at most `maxEntries` entries (its room reserved at first
// use, never grown past it): when a colour's entry would not fit, the pool
// is compacted into a second pool, kept for the next compaction so that its
// pages are not faulted in again, and when it still would not, the table is
// emptied first. Its memory therefore stays below 2 * maxEntries *
// sizeof(Entry) plus the 3.25 MiB of the bitmap and the words' places,
// however many images a run measures. Any number of threads may look up at
// once; a thread that finds the table in use when it would add its new
// colours keeps them (up to 2^16) and adds them at its next look-up, so
// that it need not wait.
template <class Entry> class ColourTable {
public:
    explicit ColourTable(std::size_t maxEntries)
        : maxEntries_(maxEntries)
        , id_(nextId())
    {
    }

    // The entries of `count` colours (keys in increasing order, each once)
    // into `entries`. Colours not in the table are computed together by
    // compute(keys, count, entries), outside the table's lock, and added.
    template <class Compute>
    void lookUp(const std::uint32_t* keys, std::size_t count, Entry* entries, Compute&& compute)
    {
        lookUpEach(keys, count, std::forward<Compute>(compute),
            [entries](std::size_t k, const Entry& entry) { entries[k] = entry; });
    }

    // lookUp, handing the entry of each colour k to store(k, entry) (once for
    // every colour, in no set order) instead of writing it to an array.
    template <class Compute, class Store>
    void lookUpEach(const std::uint32_t* keys, std::size_t count, Compute&& compute, Store&& store)
    {
        Pending& later = pending();
        if (later.count != 0)
            addPending(later, false);
        std::vector<std::uint32_t> missing;
        std::vector<std::size_t> where;
        {
            std::shared_lock<std::shared_mutex> lock(mutex_);
            // The entries' places a chunk at a time, then the processor asked
            // for the chunk's entries, then the entries taken.
            std::uint32_t places[kChunk];
            for (std::size_t start = 0; start < count; start += kChunk) {
                const std::size_t n = std::min(kChunk, count - start);
                if (present_.empty())
                    std::fill(places, places + n, toolkit::common::kNoColourPlace);
                else
                    toolkit::common::colourPlaces(
                        keys + start, n, present_.data(), place_.data(), places);
                for (std::size_t i = 0; i < n; ++i)
                    if (places[i] != toolkit::common::kNoColourPlace)
                        __builtin_prefetch(&pool_[places[i]]);
                for (std::size_t i = 0; i < n; ++i) {
                    if (places[i] != toolkit::common::kNoColourPlace) {
                        store(start + i, pool_[places[i]]);
                    } else {
                        missing.push_back(keys[start + i]);
                        where.push_back(start + i);
                    }
                }
            }
        }
        if (missing.empty())
            return;
        std::vector<Entry> computed(missing.size());
        compute(missing.data(), missing.size(), computed.data());
        for (std::size_t m = 0; m < missing.size(); ++m)
            store(where[m], computed[m]);

        // Added now if no other thread is using the table, else kept for
        // this thread's next look-up, so that neither waits for the other.
        later.count += missing.size();
        later.keys.push_back(std::move(missing));
        later.entries.push_back(std::move(computed));
        addPending(later, later.count > kMostPending);
    }

    // Entries the pool holds room for now (at most maxEntries).
    std::size_t size() const
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        return pool_.size();
    }

private:
    static constexpr std::size_t kWords = std::size_t(1) << (24 - 6);

    // Colours a thread computed while the table was in use, in batches of
    // keys in increasing order, with their entries.
    struct Pending {
        std::vector<std::vector<std::uint32_t>> keys;
        std::vector<std::vector<Entry>> entries;
        std::size_t count = 0;
    };
    // Colours a thread keeps at most before it waits to add them.
    static constexpr std::size_t kMostPending = std::size_t(1) << 16;

    // This thread's pending colours for this table (tables are told apart
    // by an identifier never reused, not by their address).
    Pending& pending() const
    {
        thread_local std::unordered_map<std::uint64_t, Pending> byTable;
        return byTable[id_];
    }

    static std::uint64_t nextId()
    {
        static std::atomic<std::uint64_t> next { 0 };
        return next++;
    }

    // Adds a thread's pending colours, waiting for the table if `wait`, else
    // only if no other thread is using it.
    void addPending(Pending& later, bool wait)
    {
        std::unique_lock<std::shared_mutex> lock(mutex_, std::defer_lock);
        if (wait)
            lock.lock();
        else if (!lock.try_lock())
            return;
        for (std::size_t b = 0; b < later.keys.size(); ++b)
            add(later.keys[b].data(), later.entries[b].data(), later.keys[b].size());
        later.keys.clear();
        later.entries.clear();
        later.count = 0;
    }
    static constexpr unsigned kWordBits = 64;

    // Colours looked up together: their entries are asked for ahead of use.
    static constexpr std::size_t kChunk = 256;

    static unsigned bitsOf(std::uint64_t word) { return toolkit::common::portablePopcount64(word); }

    // Adds colours (keys in increasing order) with their entries; with the
    // lock held exclusively. Colours another thread added meanwhile are kept.
    void add(const std::uint32_t* keys, const Entry* added, std::size_t count)
    {
        if (present_.empty()) {
            present_.assign(kWords, 0);
            place_.assign(kWords, 0);
            room_.assign(kWords, 0);
            pool_.reserve(maxEntries_);
        }
        // The words' bookkeeping, then their entries, asked for ahead of the
        // merges: the words lie far apart.
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t w = keys[k] >> 6;
            __builtin_prefetch(&present_[w]);
            __builtin_prefetch(&place_[w]);
            __builtin_prefetch(&room_[w]);
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t w = keys[k] >> 6;
            if (present_[w] != 0)
                __builtin_prefetch(&pool_[place_[w]]);
        }
        for (std::size_t first = 0; first < count;) {
            const std::size_t w = keys[first] >> 6;
            std::size_t end = first;
            std::uint64_t bits = 0;
            while (end < count && keys[end] >> 6 == w)
                bits |= std::uint64_t(1) << (keys[end++] & 63);
            addToWord(w, bits & ~present_[w], keys + first, added + first, end - first);
            first = end;
        }
        if (pool_.size() > compactAt_)
            compact();
    }

    // Adds the colours `bits` of word w (a subset of the `count` keys given,
    // in increasing order, with their entries).
    void addToWord(std::size_t w, std::uint64_t bits, const std::uint32_t* keys, const Entry* added,
        std::size_t count)
    {
        if (bits == 0)
            return;
        std::uint64_t old = present_[w];
        unsigned needed = bitsOf(old | bits);
        if (needed > room_[w]) {
            unsigned room = 1;
            while (room < needed)
                room *= 2;
            if (pool_.size() + room > maxEntries_)
                compact();
            if (pool_.size() + room > maxEntries_) {
                clear();
                old = 0;
                needed = bitsOf(bits);
                room = 1;
                while (room < needed)
                    room *= 2;
                if (room > maxEntries_)
                    return;
            }
            // The word's entries move to new room at the end of the pool.
            const std::size_t place = pool_.size();
            pool_.resize(place + room);
            mergeInto(w, old, bits, keys, added, count, place);
            place_[w] = static_cast<std::uint32_t>(place);
            room_[w] = static_cast<std::uint8_t>(room);
        } else {
            mergeInto(w, old, bits, keys, added, count, place_[w]);
        }
        present_[w] = old | bits;
    }

    // Writes the entries of the word's colours `old` (at its place) and
    // `bits` (among the keys given), in key order, from `place` on.
    void mergeInto(std::size_t w, std::uint64_t old, std::uint64_t bits, const std::uint32_t* keys,
        const Entry* added, std::size_t count, std::size_t place)
    {
        Entry kept[kWordBits];
        const unsigned oldCount = bitsOf(old);
        for (unsigned k = 0; k < oldCount; ++k)
            kept[k] = pool_[place_[w] + k];
        unsigned fromOld = 0;
        std::size_t fromAdded = 0;
        Entry* out = &pool_[place];
        for (std::uint64_t all = old | bits; all != 0; all &= all - 1) {
            const unsigned bit = static_cast<unsigned>(__builtin_ctzll(all));
            if (old >> bit & 1) {
                *out++ = kept[fromOld++];
            } else {
                while (fromAdded + 1 < count && (keys[fromAdded] & 63) != bit)
                    ++fromAdded;
                *out++ = added[fromAdded];
            }
        }
    }

    // Moves every word's entries together, in key order, leaving out the
    // room words have moved from and the room they do not use, so that an
    // image's colours are found front to back; with the lock held
    // exclusively. The pool is compacted again once it has grown by half.
    void compact()
    {
        std::vector<Entry>& packed = spare_;
        packed.clear();
        packed.reserve(maxEntries_);
        for (std::size_t w = 0; w < kWords; ++w) {
            if (present_[w] == 0)
                continue;
            const unsigned n = bitsOf(present_[w]);
            const auto from = pool_.begin() + std::ptrdiff_t(place_[w]);
            place_[w] = static_cast<std::uint32_t>(packed.size());
            room_[w] = static_cast<std::uint8_t>(n);
            packed.insert(packed.end(), from, from + n);
        }
        pool_.swap(packed);
        compactAt_ = std::max(kFewestCompacted, pool_.size() + pool_.size() / 2);
    }

    // Empties the table; with the lock held exclusively.
    void clear()
    {
        std::fill(present_.begin(), present_.end(), 0);
        std::fill(room_.begin(), room_.end(), 0);
        pool_.clear();
        compactAt_ = kFewestCompacted;
    }

    // Pools smaller than this are not compacted.
    static constexpr std::size_t kFewestCompacted = std::size_t(1) << 16;

    const std::size_t maxEntries_;
    const std::uint64_t id_;
    std::size_t compactAt_ = kFewestCompacted;
    mutable std::shared_mutex mutex_;
    std::vector<std::uint64_t> present_; // all 2^24 colours, once anything is added
    std::vector<std::uint32_t> place_; // of each word's first entry in the pool
    std::vector<std::uint8_t> room_; // entries the pool holds for each word
    std::vector<Entry> pool_;
    std::vector<Entry> spare_; // the pool before the last compaction, room for the next
};

} // namespace comparison
