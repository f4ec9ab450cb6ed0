#include "bootloader/rows.h"

#include "startup/runtime_error.h"

namespace dwnfrw {

namespace {

// Slots per block of the live count: a position is found by stepping over whole
// blocks, then over at most one block's slots.
constexpr size_t kBlockSlots = 256;
constexpr size_t kFirstIndexSize = 16;
// The mark a removed key leaves in its bucket, so the probe runs through it
// stay whole; marks go when the index is next resized.
constexpr uint32_t kRemovedKey = UINT32_MAX;

}  // namespace

uint32_t ROWS::hashKey(QStringView key) {
    // Folds code points as the case-insensitive comparison does, surrogate
    // pairs included, so keys that compare equal hash equal.
    uint64_t hash = 14695981039346656037ull;
    for (qsizetype i = 0; i < key.size(); ++i) {
        char32_t point = key[i].unicode();
        if (point < 0x80) {
            if (point >= 'A' && point <= 'Z')
                point += 'a' - 'A';
        } else {
            if (QChar::isHighSurrogate(point) && i + 1 < key.size() &&
                key[i + 1].isLowSurrogate()) {
                point = QChar::surrogateToUcs4(key[i], key[i + 1]);
                ++i;
            }
            point = QChar::toCaseFolded(point);
        }
        hash = (hash ^ point) * 0x100000001b3ull;
    }
    // The index picks buckets by the low bits: let every character reach them.
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

size_t ROWS::findBucket(QStringView key, uint32_t hash) const {
    const size_t mask = index_.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        const Bucket& bucket = index_[at];
        if (bucket.slotPlusOne == 0)
            return at;
        if (bucket.hash == hash && bucket.slotPlusOne != kRemovedKey &&
            sameKey(slots_[bucket.slotPlusOne - 1].key, key)) {
            return at;
        }
    }
}

void ROWS::place(Bucket bucket) {
    const size_t mask = index_.size() - 1;
    size_t at = bucket.hash & mask;
    while (index_[at].slotPlusOne != 0)
        at = (at + 1) & mask;
    index_[at] = bucket;
    ++indexUsed_;
}

void ROWS::resizeIndex(size_t keys) {
    size_t size = kFirstIndexSize;
    while (size < keys * 2)
        size *= 2;
    std::vector<Bucket> old(size);
    old.swap(index_);
    indexUsed_ = 0;
    for (const Bucket& bucket : old) {
        if (bucket.slotPlusOne != 0 && bucket.slotPlusOne != kRemovedKey)
            place(bucket);
    }
}

void ROWS::reserve(size_t rows) {
    slots_.reserve(rows);
    if (rows * 2 > index_.size())
        resizeIndex(rows);
}

RowRef ROWS::Add(const QString& sKey) {
    if (!sKey.isEmpty()) {
        const uint32_t hash = hashKey(sKey);
        if (!index_.empty() && index_[findBucket(sKey, hash)].slotPlusOne != 0) {
            throw RunTimeError(kDuplicateKeyError,
                               QStringLiteral("This key is already associated with an element "
                                              "of this collection: \"%1\"")
                                   .arg(sKey));
        }
        if ((indexUsed_ + 1) * 2 > index_.size())
            resizeIndex(indexUsed_ + 1);
        place(Bucket{hash, static_cast<uint32_t>(slots_.size() + 1)});
    }
    if (slots_.size() % kBlockSlots == 0)
        liveInBlock_.push_back(0);
    ++liveInBlock_.back();
    ++live_;
    slots_.push_back(Slot{std::make_shared<ROW>(), sKey});
    return slots_.back().row;
}

RowRef ROWS::Item(QStringView key) const {
    if (key.isEmpty() || index_.empty())
        return nullptr;
    const Bucket& bucket = index_[findBucket(key, hashKey(key))];
    return bucket.slotPlusOne == 0 ? nullptr : slots_[bucket.slotPlusOne - 1].row;
}

RowRef ROWS::Item(int64_t position) const {
    if (position < 1 || position > static_cast<int64_t>(live_))
        return nullptr;
    return slots_[slotAt(position)].row;
}

void ROWS::Remove(const QString& key) {
    const size_t bucket = key.isEmpty() || index_.empty() ? 0 : findBucket(key, hashKey(key));
    if (key.isEmpty() || index_.empty() || index_[bucket].slotPlusOne == 0) {
        throw RunTimeError(kInvalidArgumentError,
                           QStringLiteral("Invalid procedure call or argument: no row has the key "
                                          "\"%1\"")
                               .arg(key));
    }
    removeSlot(index_[bucket].slotPlusOne - 1);
}

void ROWS::Remove(int64_t position) {
    if (position < 1 || position > static_cast<int64_t>(live_)) {
        throw RunTimeError(kInvalidArgumentError,
                           QStringLiteral("Invalid procedure call or argument: position %1 is "
                                          "outside 1 to %2")
                               .arg(position)
                               .arg(live_));
    }
    removeSlot(slotAt(position));
}

size_t ROWS::slotAt(int64_t position) const {
    if (live_ == slots_.size())
        return static_cast<size_t>(position - 1);
    size_t block = 0;
    while (position > liveInBlock_[block])
        position -= liveInBlock_[block++];
    for (size_t slot = block * kBlockSlots;; ++slot) {
        if (slots_[slot].row && --position == 0)
            return slot;
    }
}

void ROWS::removeSlot(size_t slot) {
    Slot& removed = slots_[slot];
    if (!removed.key.isEmpty())
        index_[findBucket(removed.key, hashKey(removed.key))].slotPlusOne = kRemovedKey;
    removed = Slot{};
    --liveInBlock_[slot / kBlockSlots];
    --live_;
}

}  // namespace dwnfrw
