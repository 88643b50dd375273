// The benchmark's floor (bench/native/floor.cpp) is what it claims to be:
// for every method, called with the table's arguments, it makes the very JNI
// calls the library makes on its success path, in the same order, on the
// same arguments, and makes the same strings. A method's time over its
// floor's is then the library's own work and the driver's.
#include "floor.h"

#include "method_table.h"
#include "test_support.h"

namespace {

class Floor : public BridgeTest {
protected:
    template <typename Function>
    void check(int method, Function library) {
        const methods::Method& row = methods::kMethods[method];
        SCOPED_TRACE(row.name);
        methods::Strings arguments = row.arguments;
        if (method == methods::kLoadDriver) arguments[0] = mock::modulePath();

        FakeJvm byLibrary;
        byLibrary.keepJournal();
        const methods::Strings answer = methods::call(byLibrary, library, arguments);
        ASSERT_FALSE(answer.empty());
        ASSERT_EQ("0", answer[0]) << "the library must take its success path";
        floorAnswer(method, answer);

        FakeJvm byFloor;
        byFloor.keepJournal();
        const auto floor = reinterpret_cast<Function>(floorMethods().at(static_cast<size_t>(method)).fnPtr);
        EXPECT_EQ(answer, methods::call(byFloor, floor, arguments));
        EXPECT_EQ(byLibrary.journal(), byFloor.journal());
        EXPECT_JNI_CLEAN(byLibrary);
        EXPECT_JNI_CLEAN(byFloor);
    }
};

TEST_F(Floor, MakesTheLibrarysJniCallsForEveryMethod) {
    loadMock();
    mock::scriptSuccess();
    ASSERT_EQ(static_cast<size_t>(methods::kCount), floorMethods().size());
#define VARNEL_CHECK(method)                                           \
    EXPECT_STREQ(#method, methods::kMethods[methods::k##method].name); \
    EXPECT_STREQ(#method, floorMethods()[methods::k##method].name);    \
    check(methods::k##method, &Java_ka_tovik_selvo_jvarnel_JVarnel_##method);
    VARNEL_JAVA_METHODS(VARNEL_CHECK)
#undef VARNEL_CHECK
}

}  // namespace
