// ROW and ROWS: an insertion-ordered collection of text rows that can be found
// by a key (letter case ignored) or by position, as the region merge uses it.
#pragma once

#include <QString>
#include <QStringView>
#include <cstdint>
#include <iterator>
#include <memory>
#include <memory_resource>
#include <unordered_map>
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
    struct Slot {
        RowRef row;   // null once removed
        QString key;  // empty for a row stored without a key
    };

  public:
    ROWS() = default;
    ROWS(const ROWS&) = delete;
    ROWS& operator=(const ROWS&) = delete;

    // Appends a new empty row, stored under sKey unless sKey is empty. The row's
    // Key property is left for the caller to set. A key already present raises
    // RunTimeError 457 and adds nothing.
    RowRef Add(const QString& sKey);

    // The row under a key, or at a position counted from 1; null when absent.
    RowRef Item(QStringView key) const;
    RowRef Item(const QString& key) const { return Item(QStringView(key)); }
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

    // Visits the rows in insertion order; Add and Remove invalidate it.
    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = RowRef;
        using difference_type = std::ptrdiff_t;
        using pointer = const RowRef*;
        using reference = const RowRef&;

        const_iterator() = default;
        const_iterator(const Slot* at, const Slot* end) : at_(at), end_(end) { skipRemoved(); }
        reference operator*() const { return at_->row; }
        const_iterator& operator++() {
            ++at_;
            skipRemoved();
            return *this;
        }
        bool operator==(const const_iterator& other) const { return at_ == other.at_; }

      private:
        void skipRemoved() {
            while (at_ != end_ && !at_->row)
                ++at_;
        }
        const Slot* at_ = nullptr;
        const Slot* end_ = nullptr;
    };

    const_iterator begin() const { return {rows_.data(), rows_.data() + rows_.size()}; }
    const_iterator end() const {
        return {rows_.data() + rows_.size(), rows_.data() + rows_.size()};
    }

  private:
    // Keys compare and hash with letter case folded.
    struct FoldedHash {
        size_t operator()(QStringView key) const;
    };
    struct FoldedEqual {
        bool operator()(QStringView a, QStringView b) const {
            // The merge meets its keys in one letter case: try the plain match first.
            return a == b || a.compare(b, Qt::CaseInsensitive) == 0;
        }
    };

    size_t slotAt(int64_t position) const;  // slot of the position-th live row
    void removeSlot(size_t slot);

    // A removed row leaves a null slot behind, so the slots of the other rows
    // (and the key index pointing at them) never change; positions step over
    // the null slots with a count of live rows per block of slots. The index
    // holds views of the slots' keys, whose text stays put while they live, so
    // a lookup by a view of a line allocates nothing.
    std::vector<Slot> rows_;
    std::vector<int32_t> liveInBlock_;
    // The index's entries come from one arena freed with the store: the merge
    // only adds, and allocating and freeing them one by one showed in its time.
    std::pmr::monotonic_buffer_resource arena_;
    std::pmr::unordered_map<QStringView, size_t, FoldedHash, FoldedEqual> slotOfKey_{&arena_};
    size_t live_ = 0;
};

}  // namespace dwnfrw
