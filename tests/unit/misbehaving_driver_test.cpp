// A driver that breaks its contract, or answers oddly, never makes the bridge
// read or write outside a buffer (the sanitizers watch), never leaks a JVM
// acquisition, and yields a documented status.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;
using mock::answer;
using mock::Bytes;

#define METHOD(name) Java_ka_tovik_selvo_jvarnel_JVarnel_##name

struct Case {
    const char* name;
    std::function<void()> script;
    std::function<Strings(FakeJvm&)> call;
    Strings expected;
};

Strings status(FakeJvm& jvm, jstring text) { return {jvm.text(text)}; }

const CK_ULONG kHuge = ~CK_ULONG{0};
// A failure whose low 32 bits are zero; where CK_RV is 32 bits wide it is
// CKR_OK itself.
const CK_RV kFailureWithZeroLowHalf = static_cast<CK_RV>(0x100000000ULL);
const char* const kZeroLowHalfStatus = sizeof(CK_RV) > 4 ? "5" : "0";

// A driver that calls LoadDriver back from inside a call, with a module that
// lacks the entry point the method is in the middle of using.
template <const char* kWithout>
void reloadWithout() {
    FakeJvm jvm;
    METHOD(LoadDriver)(jvm.env(), nullptr, jvm.string(mock::variantPath(kWithout)));
}
constexpr char kGetSlotList[] = "GetSlotList";
constexpr char kGetAttributeValue[] = "GetAttributeValue";
constexpr char kSetAttributeValue[] = "SetAttributeValue";

// Leaves freed heap blocks of `size` bytes full of 0xAA, for the next
// allocation of that size to find.
void dirtyTheHeap(size_t size) {
    for (int i = 0; i < 4; ++i) {
        void* block = std::malloc(size);
        std::memset(block, 0xAA, size);
        std::free(block);
    }
}

// Leaves the stack below the caller full of 0xAA, for the next method's
// buffers to find.
__attribute__((noinline)) void dirtyTheStack() {
    volatile unsigned char area[32 * 1024];
    for (unsigned char& byte : const_cast<unsigned char(&)[sizeof area]>(area)) byte = 0xAA;
}

std::vector<Case> cases() {
    return {
        {"slot list longer than its room",
         [] {
             answer("C_GetSlotList", CKR_OK).count(1);
             answer("C_GetSlotList", CKR_OK).handles({4, 5, 6}).count(kHuge);
         },
         [](FakeJvm& j) { return j.texts(METHOD(GetSlotList)(j.env(), nullptr, 0)); },
         [] {
             Strings s(101, "");
             s[0] = "0";
             s[1] = "4";
             return s;
         }()},
        {"object count all ones", [] { answer("C_FindObjects", CKR_OK).handles({3}).count(kHuge); },
         [](FakeJvm& j) { return j.texts(METHOD(FindObjects)(j.env(), nullptr, 1)); },
         [] {
             Strings s(101, "0");
             s[1] = "3";
             return s;
         }()},
        {"attribute length unavailable",
         [] { answer("C_GetAttributeValue", CKR_OK).valueLength(CK_UNAVAILABLE_INFORMATION); },
         [](FakeJvm& j) {
             return j.texts(METHOD(GetAttributeValue)(j.env(), nullptr, 1, 2, j.string("certificate")));
         },
         {"5", ""}},
        {"attribute value longer than reported",
         [] {
             answer("C_GetAttributeValue", CKR_OK).valueLength(2);
             answer("C_GetAttributeValue", CKR_OK).value({1, 2}).valueLength(kHuge);
         },
         [](FakeJvm& j) {
             return j.texts(METHOD(GetAttributeValue)(j.env(), nullptr, 1, 2, j.string("certificate")));
         },
         {"5", ""}},
        {"signature longer than its buffer",
         [] { answer("C_Sign", CKR_OK).value(Bytes(4096, 9)).count(kHuge); },
         [](FakeJvm& j) { return j.texts(METHOD(Sign)(j.env(), nullptr, 1, j.byteArray({1}), 1)); },
         {"10037", ""}},
        {"cipher text longer than its buffer",
         [] { answer("C_Encrypt", CKR_OK).count(4097); },
         [](FakeJvm& j) { return j.texts(METHOD(Encrypt)(j.env(), nullptr, 1, j.byteArray({1}), 1)); },
         {"10057", ""}},
        {"plain text longer than its buffer",
         [] { answer("C_Decrypt", CKR_OK).count(kHuge); },
         [](FakeJvm& j) {
             return j.texts(METHOD(Decrypt)(j.env(), nullptr, 1, j.byteArray({'Y', 'W', 'J', 'j'}), 4));
         },
         {"10058", ""}},
        {"wrapped key longer than its buffer",
         [] { answer("C_WrapKey", CKR_OK).count(10001); },
         [](FakeJvm& j) { return j.texts(METHOD(WrapKey)(j.env(), nullptr, 1, j.string("rsapkcs"), 2, 3)); },
         {"10037", ""}},
        {"session handle written on failure",
         [] { answer("C_OpenSession", CKR_VENDOR_DEFINED).handles({kHuge}); },
         [](FakeJvm& j) { return j.texts(METHOD(OpenSession)(j.env(), nullptr, 1, 6)); },
         {"-214748364", std::to_string(kHuge)}},
        {"key pair handles written on failure",
         [] {
             answer("C_GenerateKeyPair", 0xFFFFFFFFUL).handles({7, 8});
         },
         [](FakeJvm& j) {
             return j.texts(
                 METHOD(GenerateKeyPair)(j.env(), nullptr, 1, j.string("k"), 2048, j.byteArray({3}), 1));
         },
         {"-1", "7", "8"}},
        {"key handle written on failure",
         [] { answer("C_GenerateKey", CKR_DEVICE_MEMORY).handles({9}); },
         [](FakeJvm& j) { return j.texts(METHOD(GenerateKey)(j.env(), nullptr, 1, 0)); },
         {"49", "9"}},
        {"unwrapped handle written on failure",
         [] { answer("C_UnwrapKey", CKR_VENDOR_DEFINED + 1).handles({10}); },
         [](FakeJvm& j) {
             return j.texts(METHOD(UnwrapKey)(j.env(), nullptr, 1, j.string("YWJj"), 2, j.string("rsapkcs")));
         },
         {"-214748364", "10"}},
        {"token record of all ones",
         [] {
             CK_TOKEN_INFO info;
             std::memset(&info, 0xFF, sizeof info);
             Bytes record(sizeof info);
             std::memcpy(record.data(), &info, sizeof info);
             answer("C_GetTokenInfo", CKR_OK).value(record);
         },
         [](FakeJvm& j) {
             Strings fields = j.texts(METHOD(GetTokenInfo)(j.env(), nullptr, 1));
             return Strings{fields[0], fields[5], fields[15], fields[18], std::to_string(fields[1].size())};
         },
         {"0", "0", "255.255", "0", std::to_string(32 * 3)}},
        {"token record not written",
         [] { answer("C_GetTokenInfo", CKR_OK); },
         [](FakeJvm& j) {
             dirtyTheStack();
             return j.texts(METHOD(GetTokenInfo)(j.env(), nullptr, 1));
         },
         {"0", "", "", "", "", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0.0", "0.0", "", "0"}},
        {"attribute value written shorter than reported",
         [] {
             answer("C_GetAttributeValue", CKR_OK).valueLength(40);
             answer("C_GetAttributeValue", CKR_OK).value({1, 2}).valueLength(40);
             dirtyTheHeap(40);
         },
         [](FakeJvm& j) {
             return j.texts(METHOD(GetAttributeValue)(j.env(), nullptr, 1, 2, j.string("certificate")));
         },
         {"0", "AQIAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=="}},
        {"signature written shorter than reported",
         [] {
             answer("C_Sign", CKR_OK).value({1, 2}).count(40);
         },
         [](FakeJvm& j) {
             dirtyTheStack();
             return j.texts(METHOD(Sign)(j.env(), nullptr, 1, j.byteArray({1}), 1));
         },
         {"0", "AQIAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=="}},
        {"label written shorter than reported",
         [] {
             answer lengths("C_GetAttributeValue", CKR_OK);
             for (CK_ULONG length : {4, 24, 3, 1, 1}) lengths.valueLength(length);
             answer values("C_GetAttributeValue", CKR_OK);
             for (const Bytes& value : {Bytes{1}, Bytes{'o', 'k'}, Bytes{}, Bytes{}, Bytes{}})
                 values.value(value);
             for (CK_ULONG length : {4, 24, 3, 1, 1}) values.valueLength(length);
             dirtyTheHeap(24);
         },
         [](FakeJvm& j) {
             return j.texts(METHOD(GetAttributeValue)(j.env(), nullptr, 1, 2, j.string("label")));
         },
         {"0", "ok"}},
        {"failure with zero low half and a handle",
         [] { answer("C_OpenSession", kFailureWithZeroLowHalf).handles({1}); },
         [](FakeJvm& j) { return j.texts(METHOD(OpenSession)(j.env(), nullptr, 1, 6)); },
         {kZeroLowHalfStatus, "1"}},
        {"LoadDriver called back between the two slot list calls",
         [] {
             answer("C_GetSlotList", CKR_OK).count(1).hook(reloadWithout<kGetSlotList>);
             answer("C_GetSlotList", CKR_OK).handles({4});
         },
         [](FakeJvm& j) { return j.texts(METHOD(GetSlotList)(j.env(), nullptr, 1)); },
         {"0", "4"}},
        {"LoadDriver called back between the two attribute reads",
         [] {
             answer("C_GetAttributeValue", CKR_OK).valueLength(2).hook(reloadWithout<kGetAttributeValue>);
             answer("C_GetAttributeValue", CKR_OK).value({1, 2});
         },
         [](FakeJvm& j) {
             return j.texts(METHOD(GetAttributeValue)(j.env(), nullptr, 1, 2, j.string("certificate")));
         },
         {"0", "AQI="}},
        {"LoadDriver called back between the two label changes",
         [] {
             answer("C_SetAttributeValue", CKR_OK).hook(reloadWithout<kSetAttributeValue>);
             answer("C_SetAttributeValue", CKR_FUNCTION_FAILED);
         },
         [](FakeJvm& j) {
             return status(j, METHOD(SetAttributeValue)(j.env(), nullptr, 1, 2, 3, j.string("k")));
         },
         {"6"}},
    };
}

TEST_F(BridgeTest, MisbehavingDriverAnswersAreContained) {
    for (const auto& c : cases()) {
        loadMock();  // a row may have loaded another module
        FakeJvm fresh;
        c.script();
        EXPECT_EQ(c.expected, c.call(fresh)) << c.name;
        EXPECT_JNI_CLEAN(fresh);
    }
}

#undef METHOD

}  // namespace

#if !defined(_WIN32)
namespace {

// A thread whose stack cannot hold Decrypt's buffers above the guard zones a
// JVM keeps: the method answers CKR_HOST_MEMORY without running its body,
// rather than write into them.
TEST_F(BridgeTest, StackWithoutRoomForTheBuffersAnswersHostMemory) {
    loadMock();
    const jbyteArray text = jvm.byteArray({'Y', 'W', 'J', 'j'});
    jobjectArray answer = nullptr;
    runOnOwnStack(64 * 1024,
                  [&] { answer = Java_ka_tovik_selvo_jvarnel_JVarnel_Decrypt(env, nullptr, 1, text, 4); });
    EXPECT_EQ((Strings{"2", ""}), jvm.texts(answer));
    EXPECT_TRUE(mock::functionsCalled().empty());
    EXPECT_JNI_CLEAN(jvm);
}

}  // namespace
#endif
