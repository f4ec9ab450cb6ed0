// ROW and ROWS: an insertion-ordered collection of text rows that can be found
// by a key (letter case ignored) or by position, as the region merge uses it.
#pragma once

#include <QString>
#include <QStringView>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

namespace dwnfrw {

// Error numbers that ROWS raises (as dwnfrw::RunTimeError).
inline constexpr int kDuplicateKeyError = 457;
inline constexpr int kInvalidArgumentError = 5;

// One row: two plain texts. Rows are shared: the collection and its callers
// hold the same object, so a change through one is seen through the other.
class ROW {
  public:
    QString Key;
    QString DataRow;
};

using RowRef = std::shared_ptr<ROW>;

class ROWS {
  public:
    ROWS() = default;
    ROWS(const ROWS&) = delete;
    ROWS& operator=(const ROWS&) = delete;

    // Appends a new empty row, stored under sKey unless sKey is empty. The row's
    // Key property is left for the caller to set. A key already present raises
    // RunTimeError 457 and adds nothing.
    RowRef Add(const QString& sKey);

    // The row under a key, or at a position counted from 1; null when absent.
    RowRef Item(const QString& key) const { return Item(QStringView(key)); }
    RowRef Item(QStringView key) const;
    RowRef Item(int64_t position) const;
    RowRef Item(int position) const { return Item(static_cast<int64_t>(position)); }

    int32_t Count() const { return static_cast<int32_t>(live_); }

    // Makes room for this many rows in advance (a hint; never required).
    void reserve(size_t rows);

    // Removes the row under a key or at a position from 1; an absent key or a
    // position out of range raises RunTimeError 5. Removed rows stay valid for
    // callers that hold them.
    void Remove(const QString& key);
    void Remove(int64_t position);
    void Remove(int position) { Remove(static_cast<int64_t>(position)); }

    // Visits the rows in insertion order. Add keeps iterators valid; Remove may
    // compact the store and invalidates them.
    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = RowRef;
        using difference_type = std::ptrdiff_t;
        using pointer = const RowRef*;
        using reference = const RowRef&;

        const_iterator() = default;
        reference operator*() const { return owner_->slots_[index_].row; }
        pointer operator->() const { return &owner_->slots_[index_].row; }
        const_iterator& operator++() {
            ++index_;
            skipRemoved();
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator& other) const { return index_ == other.index_; }

      private:
        friend class ROWS;
        const_iterator(const ROWS* owner, size_t index) : owner_(owner), index_(index) {
            skipRemoved();
        }
        void skipRemoved() {
            while (index_ < owner_->slots_.size() && !owner_->slots_[index_].row)
                ++index_;
        }
        const ROWS* owner_ = nullptr;
        size_t index_ = 0;
    };

    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, slots_.size()); }

  private:
    struct Slot {
        RowRef row;  // null once removed
        QString key;
        bool keyed = false;
    };

    // Keys hash and compare by their case-folded characters without making
    // folded copies, so a lookup allocates nothing.
    static uint32_t hashKey(QStringView key);
    static bool sameKey(QStringView a, QStringView b) {
        // Simple case folding maps each character to one of the same width.
        return a.size() == b.size() && a.compare(b, Qt::CaseInsensitive) == 0;
    }

    // The key index: open addressing with linear probing over one flat array,
    // each bucket holding its key's hash, so probing and growing never touch
    // the keys themselves and removal shifts the probe run back in place.
    // Eight bytes a bucket keeps the index of 100 000 rows within 2 MiB.
    struct Bucket {
        uint32_t hash = 0;
        uint32_t slotPlusOne = 0;  // 0: empty
    };
    size_t findBucket(QStringView key, uint32_t hash) const;  // bucket, or an empty one
    void indexInsert(uint32_t hash, size_t slot);
    void indexErase(size_t bucket);
    void indexRebuild(size_t expected);

    // Position lookup counts the live slots with a Fenwick tree, so removals in
    // the middle cost O(log n) instead of shifting or rescanning the store.
    void treeAppend();
    void treeAdd(size_t slot, int delta);
    int64_t treePrefix(size_t slotCount) const;
    size_t treeFind(int64_t position) const;  // slot of the position-th live row
    void removeSlot(size_t slot);
    void compact();

    std::vector<Slot> slots_;
    std::vector<int64_t> tree_;    // 1-based Fenwick tree over "slot is live"
    std::vector<Bucket> buckets_;  // size 0 or a power of two
    size_t indexed_ = 0;
    size_t live_ = 0;
};

}  // namespace dwnfrw
