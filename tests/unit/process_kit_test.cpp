// The parts of the tests' and benchmarks' process kit that read what others
// wrote: a /proc stat line and a list of figures.
#include "support/median.hpp"
#include "support/process.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace vorlia::test {
namespace {

TEST(ProcessStat, FieldsAfterTheNameStartAfterItsLastParenthesis) {
    const struct {
        const char* line;
        pid_t pid;
        char state;
        pid_t parent;
        const char* name;
    } cases[] = {
        {"4242 (WebKitWebProces) S 4100 4242 0 0 -1", 4242, 'S', 4100, "WebKitWebProces"},
        {"17 (a b) R 1 17 17 0", 17, 'R', 1, "a b"},
        // A name that reads like the fields after it.
        {"99 (x) S 1234 y) Z 7 99 99", 99, 'Z', 7, "x) S 1234 y"},
        {"5 (()) S 3 5", 5, 'S', 3, "()"},
        {"6 () S 3 6", 6, 'S', 3, ""},
        {"8 (line\nbreak) S 2 8\n", 8, 'S', 2, "line\nbreak"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto entry = parseStat(c.line);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->pid, c.pid);
        EXPECT_EQ(entry->state, c.state);
        EXPECT_EQ(entry->parent, c.parent);
        EXPECT_EQ(entry->name, c.name);
    }
}

TEST(ProcessStat, ALineCutShortOrWithoutANameIsNoEntry) {
    for (const char* line : {"", "12", "12 (name", "12 name) S 1", "12 (name)", "12 (name) S", "x (name) S 1",
                             "12 )name( S 1"}) {
        EXPECT_FALSE(parseStat(line).has_value()) << line;
    }
}

TEST(ProcessTree, EveryDescendantHoweverDeepAndNoOneElse) {
    const std::map<pid_t, ProcessEntry> table = {
        {10, {10, 1, 'S', "launcher"}}, {11, {11, 10, 'S', "child"}}, {12, {12, 11, 'S', "grandchild"}},
        {13, {13, 10, 'Z', "zombie"}},  {20, {20, 1, 'S', "other"}},  {21, {21, 20, 'S', "other child"}},
    };
    std::vector<pid_t> found = descendantsOf(10, table);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<pid_t>{11, 12, 13}));
    EXPECT_TRUE(descendantsOf(12, table).empty());
}

TEST(Median, TheMiddleOrTheMeanOfTheTwoMiddleOnes) {
    const struct {
        std::vector<double> values;
        double median;
    } cases[] = {
        {{}, 0}, {{7}, 7}, {{3, 1, 2}, 2}, {{4, 1, 3, 2}, 2.5}, {{10, 10, 1, 1000}, 10}, {{0.5, -1}, -0.25},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(median(c.values), c.median) << ::testing::PrintToString(c.values);
    }
}

} // namespace
} // namespace vorlia::test
