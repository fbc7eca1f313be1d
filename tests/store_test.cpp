// Tests of the name stores: the hash, table order, list order, duplicates.
#include <gtest/gtest.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "store/store.h"
#include "test_support.h"

namespace {

std::vector<std::string> table_order(const CommandTable *table)
{
    int count = -1;
    NameArray array = command_table_flatten(table, &count);
    std::vector<std::string> names(array, array + count);
    name_array_free(array);
    return names;
}

std::vector<std::string> list_order(const EnvironmentList *list, int count)
{
    NameArray array = environment_flatten(list, count);
    std::vector<std::string> names(array, array + count);
    name_array_free(array);
    return names;
}

int list_length(const EnvironmentList *list)
{
    int length = 0;
    for (const NameNode *node = list->head; node != nullptr; node = node->next)
        ++length;
    return length;
}

TEST(NameHash, GivesTheDocumentedBuckets)
{
    struct {
        const char *name;
        unsigned bucket;
    } cases[] = {
        {"", 0},
        {"a", 97},
        {"ab", 3105},
        {"begin", 2217},
        {"Aa", 2112},
        {"BB", 2112},
        {"newenvironment", 1139},
        {"@", 64},
        {"\xff", 255}, // bytes are taken unsigned
        // Names of four bytes and more, whole steps of four and a remainder,
        // with the 32-bit arithmetic wrapping.
        {"abcd", 2114},
        {"makeatletter", 1543},
        {"\xff\xfe\xfd\xfc\xfb\xfa\xf9\xf8", 2940},
        {"AaAaAaAaAaAaAaAaAaAaAaAaAaAaAaAaAa", 2112},
        {"BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB", 2112},
    };
    for (const auto &c : cases)
        EXPECT_EQ(name_hash(c.name), c.bucket) << c.name;
}

TEST(CommandTable, BucketsKeepFirstSeenOrderAndGoInIndexOrder)
{
    struct {
        std::vector<std::string> added;
        std::vector<std::string> expected;
    } cases[] = {
        {{"BB", "Aa"}, {"BB", "Aa"}}, // one bucket: first seen first
        {{"Aa", "BB"}, {"Aa", "BB"}},
        {{"ab", "a"}, {"a", "ab"}},                                  // bucket 97 before bucket 3105
        {{"section", "Section", "section"}, {"Section", "section"}}, // 1733, 3813
        {{"x", "x", "x"}, {"x"}},                                    // duplicates leave one node
        {{}, {}},                                                    // an empty table
    };
    for (const auto &c : cases) {
        CommandTable *table = command_table_new();
        for (const std::string &name : c.added)
            store_command(table, name);
        EXPECT_EQ(table_order(table), c.expected);
        EXPECT_EQ(command_table_count(table), static_cast<int>(c.expected.size()));
        command_table_free(table);
    }
}

TEST(CommandTable, CopiesTheNameItIsGiven)
{
    CommandTable *table = command_table_new();
    char name[] = "item";
    NameGroup group{};
    name_group_add(&group, table, nullptr, kKindCommand, name, 4);
    name_group_store(&group, table, nullptr);
    name[0] = 'X';
    EXPECT_EQ(table_order(table), std::vector<std::string>{"item"});
    command_table_free(table);
}

// True when `name` lies as a store promises: on a name word, with zeros
// from its end to the next one.
bool laid_out_as_stored(const char *name)
{
    size_t end = strlen(name);
    return reinterpret_cast<uintptr_t>(name) % kNameWord == 0 &&
           std::all_of(name + end, name + (end / kNameWord + 1) * kNameWord,
                       [](char byte) { return byte == 0; });
}

TEST(CommandTable, NamesOfAnyLengthAreKept)
{
    // Longer than the store's allocation chunks, between short names; and
    // each stored on a name word with zeros to the next, in memory that was
    // not zero when taken (glibc fills what it hands out on request).
#ifdef __GLIBC__
    mallopt(M_PERTURB, 0x5a);
#endif
    const std::string names[] = {"a",        std::string(300000, 'x'),
                                 "b",        std::string(1 << 20, 'y'),
                                 "c",        "sevenxx",
                                 "eightxxx", "\xff\x80\x01\x02\x01\x7f\x01\x01\x01"};
    CommandTable *table = command_table_new();
    EnvironmentList list{};
    for (const std::string &name : names) {
        store_command(table, name);
        store_environment(&list, name);
    }
#ifdef __GLIBC__
    mallopt(M_PERTURB, 0);
#endif
    for (const NameNode *node = list.head; node != nullptr; node = node->next)
        EXPECT_TRUE(laid_out_as_stored(node->text)) << std::string(node->text).substr(0, 9);
    std::vector<std::string> stored = table_order(table);
    std::vector<std::string> expected(std::begin(names), std::end(names));
    std::sort(stored.begin(), stored.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(list_order(&list, 8), std::vector<std::string>(std::rbegin(names), std::rend(names)));
    command_table_free(table);
    environment_free(&list);
}

TEST(CommandTable, ManyNamesInOneBucketStayDistinctAndOrdered)
{
    // 'Aa' and 'BB' have equal hashes, so every string of n such pairs does.
    CommandTable *table = command_table_new();
    std::vector<std::string> added;
    // 4096 names: enough to make the store's index grow several times.
    for (int bits = 0; bits < 4096; ++bits) {
        std::string name;
        for (int i = 0; i < 12; ++i)
            name += (bits >> i & 1) ? "BB" : "Aa";
        added.push_back(name);
    }
    for (const std::string &name : added)
        store_command(table, name);
    for (const std::string &name : added)
        store_command(table, name);
    EXPECT_EQ(table_order(table), added);
    EXPECT_EQ(command_table_count(table), 4096);
    command_table_free(table);
}

TEST(CommandTable, FlattenAndNamesGiveEveryStoredNameOnce)
{
    // Enough names for several pool chunks, names of every length around the
    // nodes' eight-byte rounding, and names too long for a chunk (each gets a
    // chunk of its own) between them.
    CommandTable *table = command_table_new();
    std::vector<std::string> added;
    for (int i = 0; i < 30000; ++i) {
        std::string name = std::string(static_cast<size_t>(i % 17), 'n') + std::to_string(i);
        if (i % 10000 == 5000)
            name = std::string(300 * 1024 + static_cast<size_t>(i), 'L');
        added.push_back(name);
        store_command(table, name);
        store_command(table, name); // present: no second node
    }
    int flat_count = 0, count = 0;
    NameArray flat = command_table_flatten(table, &flat_count);
    NameArray names = command_table_names(table, &count);
    ASSERT_EQ(count, 30000);
    ASSERT_EQ(flat_count, count);
    // The table's order, modelled apart: the names as first seen, stably
    // sorted by bucket.
    std::vector<std::string> expected = added;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const std::string &a, const std::string &b) {
                         return name_hash(a.c_str()) < name_hash(b.c_str());
                     });
    EXPECT_EQ(std::vector<std::string>(flat, flat + flat_count), expected);
    // The very names the table holds, each once, whatever their order.
    std::vector<std::string> got(names, names + count);
    std::sort(expected.begin(), expected.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
    name_array_free(flat);
    name_array_free(names);
    command_table_free(table);
}

TEST(EnvironmentList, NewestFirstSeenNameFirst)
{
    struct {
        std::vector<std::string> added;
        std::vector<std::string> expected;
    } cases[] = {
        {{"a", "b", "a", "c"}, {"c", "b", "a"}},
        {{"proof", "proof"}, {"proof"}},
        {{"Proof", "proof"}, {"proof", "Proof"}},
        {{}, {}},
    };
    for (const auto &c : cases) {
        EnvironmentList list{};
        for (const std::string &name : c.added)
            store_environment(&list, name);
        int length = list_length(&list);
        EXPECT_EQ(length, static_cast<int>(c.expected.size()));
        EXPECT_EQ(list_order(&list, length), c.expected);
        environment_free(&list);
        EXPECT_EQ(list.head, nullptr);
    }
}

TEST(EnvironmentList, ManyNamesStayDistinct)
{
    EnvironmentList list{};
    std::vector<std::string> newest_first;
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 5000; ++i)
            store_environment(&list, ("e" + std::to_string(i)));
    for (int i = 4999; i >= 0; --i)
        newest_first.push_back("e" + std::to_string(i));
    EXPECT_EQ(list_length(&list), 5000);
    EXPECT_EQ(list_order(&list, 5000), newest_first);
    environment_free(&list);
}

TEST(EnvironmentList, FlattenTakesOnlyTheFirstCountNames)
{
    EnvironmentList list{};
    for (const char *name : {"a", "b", "c"})
        store_environment(&list, name);
    EXPECT_EQ(list_order(&list, 2), (std::vector<std::string>{"c", "b"}));
    environment_free(&list);
}

} // namespace

namespace {

TEST(NameGroup, StoresLikeAddingEachNameInTurn)
{
    // Many more names than are looked up together, of both kinds, with
    // repeats close by and far apart, and one-bucket names ('Aa' and 'BB'):
    // the stores must come out as if each name had been added on its own.
    std::vector<std::pair<NameKind, std::string>> names;
    for (int i = 0; i < 300; ++i) {
        names.push_back({kKindCommand, "c" + std::to_string(i % 37)});
        names.push_back({kKindEnvironment, "e" + std::to_string(i % 11)});
        names.push_back({kKindCommand, i % 2 ? "Aa" : "BB"});
        if (i % 5 == 0)
            names.push_back({kKindCommand, "c" + std::to_string(i % 37)});
    }
    CommandTable *expected_table = command_table_new();
    EnvironmentList expected_list{};
    CommandTable *table = command_table_new();
    EnvironmentList list{};
    NameGroup group{};
    for (const auto &name : names) {
        name_group_add(&group, table, &list, name.first, name.second.data(), name.second.size());
        if (name.first == kKindCommand)
            store_command(expected_table, name.second);
        else
            store_environment(&expected_list, name.second);
    }
    name_group_store(&group, table, &list);
    EXPECT_EQ(table_order(table), table_order(expected_table));
    EXPECT_EQ(command_table_count(table), 39);
    EXPECT_EQ(list_order(&list, 11), list_order(&expected_list, 11));
    EXPECT_EQ(environment_list_count(&list), 11);
    command_table_free(table);
    command_table_free(expected_table);
    environment_free(&list);
    environment_free(&expected_list);
}

TEST(NameGroup, ANameWithAZeroByteBreaksTheStoresContract)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the stores check a name for zero bytes only where assertions are built in";
#else
    // The stores walk their names by length up to the terminating zero, so a
    // name may hold no zero byte: a build with assertions refuses one.
    CommandTable *table = command_table_new();
    EXPECT_DEATH(store_command(table, std::string("a\0b", 3)), "memchr");
    command_table_free(table);
#endif
}

} // namespace
