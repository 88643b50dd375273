// GetSlotList, GetTokenInfo, OpenSession, Login, LogOut, CloseSession.
#include <cstring>

#include "test_support.h"
#include "token_text.h"

namespace {

using Strings = std::vector<std::string>;
using mock::answer;

class SlotsTest : public BridgeTest {
protected:
    void SetUp() override { loadMock(); }
    Strings slotList(jint tokenPresent) {
        return jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetSlotList(env, nullptr, tokenPresent));
    }
};

TEST_F(SlotsTest, ListsSlotsAfterCountingThoseWithAToken) {
    answer("C_GetSlotList", CKR_OK).count(2);
    answer("C_GetSlotList", CKR_OK).handles({1, 0xFFFFFFFFUL});
    EXPECT_EQ((Strings{"0", "1", "4294967295"}), slotList(-1));
    auto calls = mock::calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ((std::vector<CK_ULONG>{CK_TRUE, 0, 0}), calls[0].numbers) << "count only, token present";
    EXPECT_EQ((std::vector<CK_ULONG>{CK_TRUE, 1, 2}), calls[1].numbers)
        << "any non-zero flag is true; room 2";
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(SlotsTest, AllSlotsAreAskedForInTheRoomOfTheTokenPresentCount) {
    answer("C_GetSlotList", CKR_OK).count(1);
    answer("C_GetSlotList", CKR_BUFFER_TOO_SMALL).count(2);
    EXPECT_EQ((Strings{"336", "", ""}), slotList(0));
    EXPECT_EQ((std::vector<CK_ULONG>{CK_FALSE, 1, 1}), mock::calls()[1].numbers);
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(SlotsTest, CountOutsideOneTo99IsRefusedAfterOneCall) {
    answer("C_GetSlotList", CKR_OK).count(0);
    EXPECT_EQ((Strings{"10031"}), slotList(1));
    mock_reset();

    answer("C_GetSlotList", CKR_OK).count(99);
    std::vector<CK_ULONG> ninetyNine;
    for (CK_ULONG i = 0; i < 99; ++i) ninetyNine.push_back(i + 10);
    answer("C_GetSlotList", CKR_OK).handles(ninetyNine);
    Strings listed = slotList(1);
    ASSERT_EQ(100u, listed.size());
    EXPECT_EQ("108", listed[99]);
    mock_reset();

    // Above 99, and even all bits set, the array stops at 101 elements.
    for (CK_ULONG count : {CK_ULONG{100}, CK_ULONG{0xFFFFFFFFUL}, ~CK_ULONG{0}}) {
        answer("C_GetSlotList", CKR_OK).count(count);
        Strings refused = slotList(1);
        ASSERT_EQ(101u, refused.size());
        EXPECT_EQ("10031", refused[0]);
        EXPECT_EQ("", refused[100]);
    }
    EXPECT_EQ(3u, mock::calls().size()) << "no second call";
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(SlotsTest, DriverFailuresKeepTheReportedCountButShowNoSlots) {
    answer("C_GetSlotList", CKR_DEVICE_ERROR);
    EXPECT_EQ((Strings{"48"}), slotList(1));
    answer("C_GetSlotList", CKR_DEVICE_ERROR).count(2);
    EXPECT_EQ((Strings{"48", "", ""}), slotList(1));
    // A driver that claims success with more slots than the room it had
    // wrote no more than that room.
    answer("C_GetSlotList", CKR_OK).count(1);
    answer("C_GetSlotList", CKR_OK).handles({7, 8}).count(3);
    EXPECT_EQ((Strings{"0", "7", "", ""}), slotList(1));
    EXPECT_JNI_CLEAN(jvm);
}

mock::Bytes tokenRecord(const CK_TOKEN_INFO& info) {
    mock::Bytes bytes(sizeof info);
    std::memcpy(bytes.data(), &info, sizeof info);
    return bytes;
}

void fill(unsigned char* field, size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), text.size() < size ? text.size() : size);
}

TEST_F(SlotsTest, TokenInfoGivesEveryFieldInItsPlace) {
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    fill(info.label, sizeof info.label, "varnel token");
    fill(info.manufacturerID, sizeof info.manufacturerID, "Maker");
    fill(info.model, sizeof info.model, "ModelModelModelM");
    std::memcpy(info.serialNumber, "12\0garbage", 10);
    fill(info.utcTime, sizeof info.utcTime, "2026120812000000");
    info.flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
    info.ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info.ulSessionCount = CK_UNAVAILABLE_INFORMATION;
    info.ulMaxRwSessionCount = 3;
    info.ulRwSessionCount = 0xFFFFFFFEUL;
    info.ulMaxPinLen = 8;
    info.ulMinPinLen = 4;
    info.ulTotalPublicMemory = 1000;
    info.ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info.ulTotalPrivateMemory = 2000;
    info.ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info.hardwareVersion = {2, 0};
    info.firmwareVersion = {255, 10};
    answer("C_GetTokenInfo", CKR_OK).value(tokenRecord(info));

    Strings fields = jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetTokenInfo(env, nullptr, -2));
    EXPECT_EQ((Strings{"0", "varnel token                    ", "Maker                           ",
                       "ModelModelModelM", "12", "0", "0", "3", "4294967294", "8", "4", "1000", "0", "2000",
                       "0", "2.0", "255.10", "2026120812000000", "1037"}),
              fields);
    EXPECT_EQ((std::vector<CK_ULONG>{0xFFFFFFFEUL, 1}), mock::calls()[0].numbers)
        << "slot -2 widened unsigned";
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(SlotsTest, TokenInfoFailureLeavesEighteenEmptyFields) {
    answer("C_GetTokenInfo", CKR_SLOT_ID_INVALID);
    Strings fields = jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetTokenInfo(env, nullptr, 9));
    ASSERT_EQ(19u, fields.size());
    EXPECT_EQ("3", fields[0]);
    for (size_t i = 1; i < fields.size(); ++i) EXPECT_EQ("", fields[i]) << i;
    EXPECT_JNI_CLEAN(jvm);
}

// The fake JVM rejects any NewStringUTF input that is not modified UTF-8, so
// a clean ledger proves every field reached Java as a valid string.
TEST_F(SlotsTest, TokenTextReachesJavaAsValidStrings) {
    CK_TOKEN_INFO info;
    std::memset(&info, 0, sizeof info);
    // "é", a four-byte emoji, an overlong three-byte sequence, a stray
    // continuation byte and a cut sequence.
    const char label[] = "\xC3\xA9 \xF0\x9F\x94\x91 \xE0\x80\x80 \x80 \xE2\x82";
    std::memcpy(info.label, label, sizeof label - 1);
    // 16 bytes of invalid lead bytes grow threefold and still fit.
    std::memset(info.model, 0xFF, sizeof info.model);
    answer("C_GetTokenInfo", CKR_OK).value(tokenRecord(info));
    Strings fields = jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetTokenInfo(env, nullptr, 1));
    EXPECT_EQ(
        "\xC3\xA9 \xED\xA0\xBD\xED\xB4\x91 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD "
        "\xEF\xBF\xBD\xEF\xBF\xBD",
        fields[1]);
    std::string replacement;
    for (int i = 0; i < 16; ++i) replacement += "\xEF\xBF\xBD";
    EXPECT_EQ(replacement, fields[3]);
    EXPECT_JNI_CLEAN(jvm);

    // A character that would not fit ends the text: room for five bytes and
    // the terminator takes no surrogate pair (six), room for six takes it.
    const unsigned char key[] = {0xF0, 0x9F, 0x94, 0x91};
    for (size_t room : {size_t{6}, size_t{7}}) {
        std::vector<char> out(room);  // exactly the room: a byte past it trips ASan
        varnel::tokenTextToJava(key, sizeof key, out.data(), room);
        EXPECT_EQ(room == 7 ? "\xED\xA0\xBD\xED\xB4\x91" : "", std::string(out.data())) << room;
    }
}

TEST_F(SlotsTest, OpenSessionPassesSlotAndFlagsAndShowsTheHandle) {
    answer("C_OpenSession", CKR_OK).handles({0xFFFFFFFFUL});
    EXPECT_EQ((Strings{"0", "4294967295"}),
              jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(env, nullptr, -1, 6)));
    answer("C_OpenSession", CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ((Strings{"180", "0"}),
              jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(env, nullptr, 1, 0)));
    answer("C_OpenSession", CKR_GENERAL_ERROR).handles({77});
    EXPECT_EQ((Strings{"5", "77"}),
              jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_OpenSession(env, nullptr, 1, 6)));
    auto calls = mock::calls();
    EXPECT_EQ((std::vector<CK_ULONG>{0xFFFFFFFFUL, 6, 0, 0}), calls[0].numbers)
        << "no application, no callback";
    EXPECT_EQ((std::vector<CK_ULONG>{1, 0, 0, 0}), calls[1].numbers);
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(SlotsTest, LoginPassesThePinBytesAndTheirLength) {
    const jlong session = (jlong{1} << 32) | 7;
    const CK_ULONG sessionSeen = sizeof(CK_ULONG) == 8 ? static_cast<CK_ULONG>(session) : 7;
    // "pä" with a supplementary character, in modified UTF-8.
    const std::string pin = "p\xC3\xA4\xED\xA0\xBD\xED\xB4\x91";
    answer("C_Login", CKR_OK);
    answer("C_Login", CKR_PIN_INCORRECT);
    EXPECT_EQ("0",
              jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_Login(env, nullptr, session, 1, jvm.string(pin))));
    EXPECT_EQ("160", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_Login(env, nullptr, 3, 0, jvm.string(""))));
    auto calls = mock::calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ((std::vector<CK_ULONG>{sessionSeen, 1, static_cast<CK_ULONG>(pin.size())}), calls[0].numbers);
    EXPECT_EQ(mock::inputBlob(mock::text(pin)), calls[0].blobs[0]);
    EXPECT_EQ((std::vector<CK_ULONG>{3, 0, 0}), calls[1].numbers);
    EXPECT_EQ(mock::inputBlob({}), calls[1].blobs[0]) << "an empty PIN is a pointer to an empty text";
    EXPECT_JNI_CLEAN(jvm);
}

TEST_F(SlotsTest, LoginWithoutPinOrWithoutItsCharactersNeverCallsTheDriver) {
    EXPECT_EQ("10034", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_Login(env, nullptr, 1, 1, nullptr)));
    FakeJvm failing;
    jstring pin = failing.string("1234");
    failing.failCall(FakeJvm::Function::GetStringUTFChars);
    EXPECT_EQ(nullptr, Java_ka_tovik_selvo_jvarnel_JVarnel_Login(failing.env(), nullptr, 1, 1, pin));
    EXPECT_EQ(1, failing.totalCalls());
    EXPECT_TRUE(mock::calls().empty());
    EXPECT_JNI_CLEAN(jvm);
    EXPECT_JNI_CLEAN(failing);
}

TEST_F(SlotsTest, LogOutAndCloseSessionForwardTheHandle) {
    answer("C_Logout", CKR_USER_NOT_LOGGED_IN);
    answer("C_CloseSession", CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ("257", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LogOut(env, nullptr, 4)));
    EXPECT_EQ("179", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_CloseSession(env, nullptr, 5)));
    EXPECT_EQ((Strings{"C_Logout", "C_CloseSession"}), mock::functionsCalled());
    EXPECT_EQ(4u, mock::calls()[0].numbers[0]);
    EXPECT_EQ(5u, mock::calls()[1].numbers[0]);
    EXPECT_JNI_CLEAN(jvm);
}

// Before any driver is bound, each method answers its own missing code.
TEST_F(BridgeTest, UnboundMethodsAnswerTheirMissingEntryPointCode) {
    ASSERT_EQ("10004", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(
                           env, nullptr, jvm.string(mock::variantPath("GetSlotList")))));
    EXPECT_EQ((Strings{"10004"}),
              jvm.texts(Java_ka_tovik_selvo_jvarnel_JVarnel_GetSlotList(env, nullptr, 1)));
    ASSERT_EQ("10008", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_LoadDriver(
                           env, nullptr, jvm.string(mock::variantPath("Login")))));
    EXPECT_EQ("10008",
              jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_Login(env, nullptr, 1, 1, jvm.string("1"))));
    EXPECT_EQ("10034", jvm.text(Java_ka_tovik_selvo_jvarnel_JVarnel_Login(env, nullptr, 1, 1, nullptr)))
        << "the argument check comes first";
    EXPECT_TRUE(mock::calls().empty());
    EXPECT_JNI_CLEAN(jvm);
}

}  // namespace
