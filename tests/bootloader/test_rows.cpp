#include <gtest/gtest.h>

#include <QString>
#include <functional>
#include <random>
#include <vector>

#include "bootloader/rows.h"
#include "startup/runtime_error.h"
#include "tests/bootloader/bootloader_test_support.h"

namespace dwnfrw {
namespace {

QStringList keysInOrder(const ROWS& rows) {
    QStringList keys;
    for (const RowRef& row : rows)
        keys.append(row->Key);
    return keys;
}

// Adds a row under key and records the key in the row, as the region merge does.
RowRef addKeyed(ROWS& rows, const QString& key) {
    RowRef row = rows.Add(key);
    row->Key = key;
    return row;
}

int errorNumberOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const RunTimeError& error) {
        EXPECT_FALSE(error.description().isEmpty());
        return error.number();
    }
    return 0;
}

TEST(Rows, LookupByKeyReturnsTheSharedRow) {
    ROWS rows;
    RowRef added = rows.Add(QStringLiteral("0010"));
    EXPECT_TRUE(added->Key.isEmpty()) << "Add leaves the Key property to the caller";
    EXPECT_TRUE(added->DataRow.isEmpty());

    RowRef found = rows.Item(QStringLiteral("0010"));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found.get(), added.get());
    found->DataRow = QStringLiteral("AA BB");
    EXPECT_EQ(rows.Item(1)->DataRow, QStringLiteral("AA BB")) << "a change is seen through both";

    EXPECT_EQ(rows.Item(QStringLiteral("0011")), nullptr);
    EXPECT_EQ(rows.Item(QString()), nullptr);
}

TEST(Rows, KeysIgnoreLetterCase) {
    ROWS rows;
    RowRef lower = rows.Add(QStringLiteral("abc"));
    EXPECT_EQ(rows.Item(QStringLiteral("ABC")).get(), lower.get());
    EXPECT_EQ(rows.Item(QStringLiteral("aBc")).get(), lower.get());

    EXPECT_EQ(errorNumberOf([&] { rows.Add(QStringLiteral("ABC")); }), kDuplicateKeyError);
    EXPECT_EQ(rows.Count(), 1) << "a duplicate key adds nothing";

    rows.Remove(QStringLiteral("ABC"));
    EXPECT_EQ(rows.Count(), 0);
    EXPECT_NE(rows.Add(QStringLiteral("Abc")), nullptr) << "the key is free again after removal";

    // Beyond ASCII, a surrogate pair (U+10400 and U+10428) included.
    RowRef accented = rows.Add(QStringLiteral("\u00C4x"));
    RowRef paired = rows.Add(QString::fromUcs4(U"\U00010400"));
    EXPECT_EQ(rows.Item(QStringLiteral("\u00E4X")).get(), accented.get());
    EXPECT_EQ(rows.Item(QString::fromUcs4(U"\U00010428")).get(), paired.get());
}

TEST(Rows, RowsWithoutKeyAreReachedByPositionAndEnumeration) {
    ROWS rows;
    RowRef first = rows.Add(QString());
    RowRef second = rows.Add(QString());
    first->DataRow = QStringLiteral("one");
    second->DataRow = QStringLiteral("two");
    EXPECT_EQ(rows.Count(), 2);
    EXPECT_EQ(rows.Item(1).get(), first.get());
    EXPECT_EQ(rows.Item(2).get(), second.get());
    EXPECT_EQ(rows.Item(QString()), nullptr);
    QStringList seen;
    for (const RowRef& row : rows)
        seen.append(row->DataRow);
    EXPECT_EQ(seen, (QStringList{"one", "two"}));
}

TEST(Rows, RemoveKeepsOrderAndRowsStayValid) {
    ROWS rows;
    RowRef a = addKeyed(rows, QStringLiteral("a"));
    RowRef b = addKeyed(rows, QStringLiteral("b"));
    rows.Remove(QStringLiteral("a"));
    EXPECT_EQ(keysInOrder(rows), QStringList{QStringLiteral("b")});
    EXPECT_EQ(rows.Item(1).get(), b.get());
    EXPECT_EQ(rows.Item(QStringLiteral("a")), nullptr);
    EXPECT_EQ(a->Key, QStringLiteral("a")) << "a removed row stays valid for its holder";

    addKeyed(rows, QStringLiteral("c"));
    rows.Remove(2);
    EXPECT_EQ(keysInOrder(rows), QStringList{QStringLiteral("b")});
}

TEST(Rows, OutOfRangeAndAbsentArguments) {
    ROWS rows;
    addKeyed(rows, QStringLiteral("x"));
    addKeyed(rows, QStringLiteral("y"));
    EXPECT_EQ(rows.Item(0), nullptr);
    EXPECT_EQ(rows.Item(rows.Count() + 1), nullptr);
    EXPECT_EQ(rows.Item(-1), nullptr);

    EXPECT_EQ(errorNumberOf([&] { rows.Remove(QStringLiteral("z")); }), kInvalidArgumentError);
    EXPECT_EQ(errorNumberOf([&] { rows.Remove(0); }), kInvalidArgumentError);
    EXPECT_EQ(errorNumberOf([&] { rows.Remove(3); }), kInvalidArgumentError);
    EXPECT_EQ(errorNumberOf([&] { rows.Remove(QString()); }), kInvalidArgumentError);
    EXPECT_EQ(rows.Count(), 2) << "failed removals change nothing";
}

// Random adds and removals by key and by position against a plain list: the
// store's position counting and its compaction must agree with it throughout.
TEST(Rows, AgreesWithAPlainListUnderRandomChurn) {
    ROWS rows;
    std::vector<QString> model;
    std::mt19937 random(20240611);
    int nextKey = 0;
    for (int step = 0; step < 20000; ++step) {
        const int choice = static_cast<int>(random() % 10);
        if (choice < 5 || model.empty()) {
            const QString key = QStringLiteral("K%1").arg(nextKey++);
            addKeyed(rows, key);
            model.push_back(key);
        } else if (choice < 7) {
            const size_t at = random() % model.size();
            rows.Remove(static_cast<int64_t>(at + 1));
            ASSERT_EQ(rows.Item(model[at]), nullptr) << "step " << step;
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        } else if (choice < 8) {
            const size_t at = random() % model.size();
            rows.Remove(model[at].toLower());
            model.erase(model.begin() + static_cast<std::ptrdiff_t>(at));
        } else {
            const size_t at = random() % model.size();
            RowRef byPosition = rows.Item(static_cast<int64_t>(at + 1));
            ASSERT_NE(byPosition, nullptr);
            ASSERT_EQ(byPosition->Key, model[at]) << "step " << step;
            ASSERT_EQ(rows.Item(model[at]).get(), byPosition.get());
        }
        ASSERT_EQ(rows.Count(), static_cast<int32_t>(model.size()));
    }
    QStringList expected;
    for (const QString& key : model)
        expected.append(key);
    EXPECT_EQ(keysInOrder(rows), expected);
}

// The merge's scale: 100 000 rows, then every other one removed from the
// front by position. A store that shifted or rescanned would take minutes.
TEST(Rows, LargeStoreWithRemovalsFromTheFront) {
    constexpr int kRows = 100000;
    ROWS rows;
    for (int i = 0; i < kRows; ++i)
        addKeyed(rows, QString::number(i * 16, 16).rightJustified(6, u'0'));
    EXPECT_EQ(rows.Item(QStringLiteral("0186A0"))->Key, QStringLiteral("0186a0"));
    for (int i = 0; i < kRows / 2; ++i)
        rows.Remove(i + 2);
    ASSERT_EQ(rows.Count(), kRows / 2);
    EXPECT_EQ(rows.Item(1)->Key, QStringLiteral("000000"));
    EXPECT_EQ(rows.Item(2)->Key, QStringLiteral("000020"));
    EXPECT_EQ(rows.Item(kRows / 2)->Key,
              QString::number((kRows - 2) * 16, 16).rightJustified(6, u'0'));
    EXPECT_EQ(rows.Item(QStringLiteral("000010")), nullptr);
    int visited = 0;
    for (const RowRef& row : rows) {
        ASSERT_EQ(row->Key, QString::number(visited * 32, 16).rightJustified(6, u'0'));
        ++visited;
    }
    EXPECT_EQ(visited, kRows / 2);
}

}  // namespace
}  // namespace dwnfrw
