#include "bootloader/rows.h"

#include "startup/runtime_error.h"

namespace dwnfrw {

namespace {

// Removed slots are dropped once they outnumber the live ones (and are more
// than a handful), which keeps the store's size within twice its row count.
constexpr size_t kCompactAtLeast = 32;
constexpr size_t kFirstIndexSize = 16;

inline size_t lowBit(size_t i) {
    return i & (~i + 1);
}

}  // namespace

uint32_t ROWS::hashKey(QStringView key) {
    // FNV-1a over the case-folded code points, then a final mix so that the
    // low bits the index uses depend on every character.
    uint64_t hash = 14695981039346656037ull;
    const qsizetype size = key.size();
    for (qsizetype i = 0; i < size; ++i) {
        char32_t point = key[i].unicode();
        if (point < 0x80) {
            if (point >= 'A' && point <= 'Z')
                point += 'a' - 'A';
        } else {
            if (QChar::isHighSurrogate(point) && i + 1 < size && key[i + 1].isLowSurrogate()) {
                point = QChar::surrogateToUcs4(key[i], key[i + 1]);
                ++i;
            }
            point = QChar::toCaseFolded(point);
        }
        hash = (hash ^ point) * 1099511628211ull;
    }
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    return static_cast<uint32_t>(hash);
}

size_t ROWS::findBucket(QStringView key, uint32_t hash) const {
    const size_t mask = buckets_.size() - 1;
    for (size_t at = hash & mask;; at = (at + 1) & mask) {
        const Bucket& bucket = buckets_[at];
        if (bucket.slotPlusOne == 0)
            return at;
        if (bucket.hash == hash && sameKey(slots_[bucket.slotPlusOne - 1].key, key))
            return at;
    }
}

void ROWS::indexInsert(uint32_t hash, size_t slot) {
    // At most three quarters full, so every probe run ends at an empty bucket.
    if (buckets_.empty() || (indexed_ + 1) * 4 > buckets_.size() * 3)
        indexRebuild(indexed_ + 1);
    const size_t mask = buckets_.size() - 1;
    size_t at = hash & mask;
    while (buckets_[at].slotPlusOne != 0)
        at = (at + 1) & mask;
    buckets_[at] = Bucket{hash, static_cast<uint32_t>(slot + 1)};
    ++indexed_;
}

void ROWS::indexErase(size_t bucket) {
    // Backward shift: later members of the probe run move up into the hole
    // when their home bucket allows it, so no tombstones are left behind.
    const size_t mask = buckets_.size() - 1;
    size_t hole = bucket;
    for (size_t at = (hole + 1) & mask; buckets_[at].slotPlusOne != 0; at = (at + 1) & mask) {
        const size_t home = buckets_[at].hash & mask;
        const bool homeOutsideRun = ((at - home) & mask) >= ((at - hole) & mask);
        if (homeOutsideRun) {
            buckets_[hole] = buckets_[at];
            hole = at;
        }
    }
    buckets_[hole] = Bucket{};
    --indexed_;
}

void ROWS::indexRebuild(size_t expected) {
    size_t size = kFirstIndexSize;
    while (expected * 4 > size * 3)
        size *= 2;
    std::vector<Bucket> old;
    old.swap(buckets_);
    buckets_.assign(size, Bucket{});
    const size_t mask = size - 1;
    for (const Bucket& bucket : old) {
        if (bucket.slotPlusOne == 0)
            continue;
        size_t at = bucket.hash & mask;
        while (buckets_[at].slotPlusOne != 0)
            at = (at + 1) & mask;
        buckets_[at] = bucket;
    }
}

void ROWS::reserve(size_t rows) {
    slots_.reserve(rows);
    tree_.reserve(rows + 1);
    if (rows * 4 > buckets_.size() * 3)
        indexRebuild(rows);
}

RowRef ROWS::Add(const QString& sKey) {
    Slot slot;
    if (!sKey.isEmpty()) {
        const uint32_t hash = hashKey(sKey);
        if (!buckets_.empty() && buckets_[findBucket(sKey, hash)].slotPlusOne != 0) {
            throw RunTimeError(kDuplicateKeyError,
                               QStringLiteral("This key is already associated with an element of "
                                              "this collection: \"%1\"")
                                   .arg(sKey));
        }
        slot.key = sKey;
        slot.keyed = true;
        indexInsert(hash, slots_.size());
    }
    slot.row = std::make_shared<ROW>();
    RowRef row = slot.row;
    slots_.push_back(std::move(slot));
    treeAppend();
    ++live_;
    return row;
}

RowRef ROWS::Item(QStringView key) const {
    if (key.isEmpty() || buckets_.empty())
        return nullptr;
    const Bucket& bucket = buckets_[findBucket(key, hashKey(key))];
    if (bucket.slotPlusOne == 0)
        return nullptr;
    return slots_[bucket.slotPlusOne - 1].row;
}

RowRef ROWS::Item(int64_t position) const {
    if (position < 1 || position > static_cast<int64_t>(live_))
        return nullptr;
    if (live_ == slots_.size())
        return slots_[static_cast<size_t>(position - 1)].row;
    return slots_[treeFind(position)].row;
}

void ROWS::Remove(const QString& key) {
    const size_t bucket = key.isEmpty() || buckets_.empty() ? 0 : findBucket(key, hashKey(key));
    if (key.isEmpty() || buckets_.empty() || buckets_[bucket].slotPlusOne == 0) {
        throw RunTimeError(kInvalidArgumentError,
                           QStringLiteral("Invalid procedure call or argument: no row has the key "
                                          "\"%1\"")
                               .arg(key));
    }
    const size_t slot = buckets_[bucket].slotPlusOne - 1;
    indexErase(bucket);
    removeSlot(slot);
}

void ROWS::Remove(int64_t position) {
    if (position < 1 || position > static_cast<int64_t>(live_)) {
        throw RunTimeError(kInvalidArgumentError,
                           QStringLiteral("Invalid procedure call or argument: position %1 is "
                                          "outside 1 to %2")
                               .arg(position)
                               .arg(live_));
    }
    const size_t slot =
        live_ == slots_.size() ? static_cast<size_t>(position - 1) : treeFind(position);
    if (slots_[slot].keyed)
        indexErase(findBucket(slots_[slot].key, hashKey(slots_[slot].key)));
    removeSlot(slot);
}

void ROWS::removeSlot(size_t slot) {
    Slot& removed = slots_[slot];
    removed.row.reset();
    removed.key.clear();
    removed.keyed = false;
    treeAdd(slot, -1);
    --live_;
    const size_t dead = slots_.size() - live_;
    if (dead >= kCompactAtLeast && dead > live_)
        compact();
}

void ROWS::compact() {
    std::vector<Slot> kept;
    kept.reserve(live_);
    for (Slot& slot : slots_) {
        if (slot.row)
            kept.push_back(std::move(slot));
    }
    slots_ = std::move(kept);
    // Slots moved: index them again.
    buckets_.clear();
    indexed_ = 0;
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].keyed)
            indexInsert(hashKey(slots_[i].key), i);
    }
    // Every slot is live again: build the counting tree in one linear sweep.
    tree_.assign(slots_.size() + 1, 1);
    tree_[0] = 0;
    for (size_t i = 1; i < tree_.size(); ++i) {
        const size_t parent = i + lowBit(i);
        if (parent < tree_.size())
            tree_[parent] += tree_[i];
    }
}

void ROWS::treeAppend() {
    if (tree_.empty())
        tree_.push_back(0);
    const size_t i = tree_.size();  // 1-based index of the new slot
    tree_.push_back(1 + treePrefix(i - 1) - treePrefix(i - lowBit(i)));
}

void ROWS::treeAdd(size_t slot, int delta) {
    for (size_t i = slot + 1; i < tree_.size(); i += lowBit(i))
        tree_[i] += delta;
}

int64_t ROWS::treePrefix(size_t slotCount) const {
    int64_t sum = 0;
    for (size_t i = slotCount; i > 0; i -= lowBit(i))
        sum += tree_[i];
    return sum;
}

size_t ROWS::treeFind(int64_t position) const {
    const size_t n = tree_.size() - 1;
    size_t step = 1;
    while (step * 2 <= n)
        step *= 2;
    size_t at = 0;
    for (; step > 0; step /= 2) {
        if (at + step <= n && tree_[at + step] < position) {
            at += step;
            position -= tree_[at];
        }
    }
    return at;  // the 1-based index is at + 1, so the slot is at
}

}  // namespace dwnfrw
