#include "bootloader/rows.h"

#include "startup/runtime_error.h"

namespace dwnfrw {

namespace {

// Slots per block of the live count: a position is found by stepping over whole
// blocks, then over at most one block's slots.
constexpr size_t kBlockSlots = 256;

}  // namespace

size_t ROWS::FoldedHash::operator()(QStringView key) const {
    // Folds code points as the case-insensitive comparison does, surrogate
    // pairs included, so keys that compare equal hash equal.
    size_t hash = 14695981039346656037ull;
    for (qsizetype i = 0; i < key.size(); ++i) {
        char32_t point = key[i].unicode();
        if (point >= 'A' && point <= 'Z') {
            point += 'a' - 'A';
        } else if (point >= 0x80) {
            if (QChar::isHighSurrogate(point) && i + 1 < key.size() &&
                key[i + 1].isLowSurrogate()) {
                point = QChar::surrogateToUcs4(key[i], key[i + 1]);
                ++i;
            }
            point = QChar::toCaseFolded(point);
        }
        hash = (hash ^ point) * 0x100000001b3ull;
    }
    return hash;
}

void ROWS::reserve(size_t rows) {
    rows_.reserve(rows);
    slotOfKey_.reserve(rows);
}

RowRef ROWS::Add(const QString& sKey) {
    if (!sKey.isEmpty() && slotOfKey_.contains(sKey)) {
        throw RunTimeError(kDuplicateKeyError,
                           QStringLiteral("This key is already associated with an element "
                                          "of this collection: \"%1\"")
                               .arg(sKey));
    }
    if (rows_.size() % kBlockSlots == 0)
        liveInBlock_.push_back(0);
    ++liveInBlock_.back();
    ++live_;
    const Slot& added = rows_.emplace_back(Slot{std::make_shared<ROW>(), sKey});
    if (!sKey.isEmpty())
        slotOfKey_.emplace(added.key, rows_.size() - 1);
    return added.row;
}

RowRef ROWS::Item(QStringView key) const {
    const auto found = slotOfKey_.find(key);
    return found == slotOfKey_.end() ? nullptr : rows_[found->second].row;
}

RowRef ROWS::Item(int64_t position) const {
    if (position < 1 || position > static_cast<int64_t>(live_))
        return nullptr;
    return rows_[slotAt(position)].row;
}

void ROWS::Remove(const QString& key) {
    const auto found = slotOfKey_.find(key);
    if (found == slotOfKey_.end()) {
        throw RunTimeError(kInvalidArgumentError,
                           QStringLiteral("Invalid procedure call or argument: no row has the key "
                                          "\"%1\"")
                               .arg(key));
    }
    removeSlot(found->second);
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
    if (live_ == rows_.size())
        return static_cast<size_t>(position - 1);
    size_t block = 0;
    while (position > liveInBlock_[block])
        position -= liveInBlock_[block++];
    for (size_t slot = block * kBlockSlots;; ++slot) {
        if (rows_[slot].row && --position == 0)
            return slot;
    }
}

void ROWS::removeSlot(size_t slot) {
    if (!rows_[slot].key.isEmpty())
        slotOfKey_.erase(rows_[slot].key);
    rows_[slot] = Slot{};
    --liveInBlock_[slot / kBlockSlots];
    --live_;
}

}  // namespace dwnfrw
