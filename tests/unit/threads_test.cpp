// Threads calling every method at once against the mock's scripted answers.
// After one LoadDriver and Initialize the library holds nothing between
// calls but the entry-point table, so every call must answer what it
// answers alone. The answers are checked lightly; a buffer that two calls
// share is for ThreadSanitizer to report (make test's tsan build runs the
// tests named Threads*).
#include <string>
#include <thread>
#include <vector>

#include "method_table.h"
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;

constexpr int kThreads = 4;
constexpr int kRounds = 200;
constexpr size_t kMismatchesKept = 5;

using Call = Strings (*)(FakeJvm&, const Strings&);
#define VARNEL_CALL(name)                                                                  \
    [](FakeJvm& jvm, const Strings& arguments) {                                           \
        return methods::call(jvm, &Java_ka_tovik_selvo_jvarnel_JVarnel_##name, arguments); \
    },
const Call kCalls[] = {VARNEL_JAVA_METHODS(VARNEL_CALL)};
#undef VARNEL_CALL

// One call and the answer it must give, whichever thread makes it.
struct Row {
    int method;
    Strings arguments;
    const char* status;  // its first answer
    Strings expected;    // its whole answer, as it answers alone
    Strings call(FakeJvm& jvm) const { return kCalls[method](jvm, arguments); }
};

// Every method but LoadDriver, Initialize and Finalize down the table's
// success path (mock::scriptSuccess), and some down the library's own
// refusals, whose status texts differ from the rest.
std::vector<Row> everyMethod() {
    std::vector<Row> rows;
    for (int id = methods::kGetVersion; id < methods::kCount; ++id)
        rows.push_back({id, methods::kMethods[id].arguments, "0", {}});
    rows.push_back({methods::kGetAttributeValue, {"1", "2", "Modulus"}, "10044", {}});
    rows.push_back({methods::kGenerateKeyPair, {"1", "pair", "2048", methods::kExponent, "4"}, "10045", {}});
    rows.push_back({methods::kSign, {"1", "ab", "3"}, "10035", {}});
    rows.push_back({methods::kEncryptInit, {"1", "2", "rsa"}, "10064", {}});
    rows.push_back({methods::kDecrypt, {"1", "AB*D", "4"}, "10063", {}});
    return rows;
}

// One thread's rounds, each through every row, starting at a row of its own
// so that the threads are in different methods at once. Mismatches are
// collected, not asserted: the main thread reports them once all are done.
struct Caller {
    int index;
    const std::vector<Row>* rows;
    int calls = 0;
    Strings mismatches;

    void run() {
        const size_t count = rows->size();
        for (int round = 0; round < kRounds; ++round) {
            FakeJvm jvm;  // fresh each round, so its object list stays short
            for (size_t k = 0; k < count; ++k) {
                const Row& row = (*rows)[(k + static_cast<size_t>(index) * count / kThreads) % count];
                const Strings got = row.call(jvm);
                ++calls;
                if (got != row.expected && mismatches.size() < kMismatchesKept)
                    mismatches.push_back(std::string(methods::kMethods[row.method].name) + ": " +
                                         ::testing::PrintToString(got));
            }
            if ((jvm.outstanding() != 0 || !jvm.violations().empty()) && mismatches.size() < kMismatchesKept)
                mismatches.push_back("JNI misuse or a leak: " + ::testing::PrintToString(jvm.violations()));
        }
    }
};

class ThreadsTest : public BridgeTest {
protected:
    void SetUp() override {
        BridgeTest::SetUp();
        loadMock();
        ASSERT_EQ("0", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_Initialize(env, nullptr)));
        mock::scriptSuccess();
    }
};

TEST_F(ThreadsTest, EveryMethodAtOnceGivesEachCallItsScriptedAnswer) {
    std::vector<Row> rows = everyMethod();
    for (Row& row : rows) {
        row.expected = row.call(jvm);
        ASSERT_FALSE(row.expected.empty());
        EXPECT_EQ(row.status, row.expected[0]) << methods::kMethods[row.method].name << ", alone";
    }

    std::vector<Caller> callers;
    for (int i = 0; i < kThreads; ++i) callers.push_back(Caller{i, &rows, 0, {}});
    std::vector<std::thread> threads;
    for (auto& caller : callers) threads.emplace_back(&Caller::run, &caller);
    for (auto& thread : threads) thread.join();

    for (const auto& caller : callers) {
        EXPECT_TRUE(caller.mismatches.empty())
            << "thread " << caller.index << ": " << ::testing::PrintToString(caller.mismatches);
        EXPECT_EQ(static_cast<int>(rows.size()) * kRounds, caller.calls);
    }
    EXPECT_JNI_CLEAN(jvm);
}

}  // namespace
