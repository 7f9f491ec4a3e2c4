// Descriptors and events in memory, and their object wrapper.
#include "ae/AppleEventObjects.h"
#include "ae/AppleEvents.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

QByteArray bytesOf(const AEDesc& desc) {
  QByteArray bytes(AEGetDescDataSize(&desc), '\0');
  EXPECT_EQ(AEGetDescData(&desc, bytes.data(), bytes.size()), noErr);
  return bytes;
}

TEST(FourCharCode, MostSignificantByteFirstAndReadableText) {
  EXPECT_EQ(fourCharCode("quit"), 0x71756974u);
  EXPECT_EQ(typeApplicationBundleID, 0x62756E64u);
  EXPECT_EQ(fourCharCodeString(kCoreEventClass), "aevt");
  EXPECT_EQ(fourCharCodeString(typeWildCard), "****");
  // Codes that are not four printable characters stay distinct and readable.
  EXPECT_EQ(fourCharCodeString(0x00616263u), "0x00616263");
  EXPECT_EQ(fourCharCodeString(0xFF414243u), "0xff414243");
}

TEST(AEDesc, CreateCopiesTheBytesAndDisposeLeavesANullDescriptor) {
  char source[] = "com.apple.mail";
  AEDesc desc;
  ASSERT_EQ(AECreateDesc(typeApplicationBundleID, source, 14, &desc), noErr);
  source[0] = 'X';  // the descriptor holds its own copy
  EXPECT_EQ(desc.descriptorType, typeApplicationBundleID);
  EXPECT_EQ(bytesOf(desc), QByteArray("com.apple.mail"));

  AEDesc copy;
  ASSERT_EQ(AEDuplicateDesc(&desc, &copy), noErr);
  EXPECT_EQ(AEDisposeDesc(&desc), noErr);
  EXPECT_EQ(desc.descriptorType, typeNull);
  EXPECT_EQ(desc.dataHandle, nullptr);
  EXPECT_EQ(AEDisposeDesc(&desc), noErr);  // twice is harmless
  EXPECT_EQ(bytesOf(copy), QByteArray("com.apple.mail"));
  AEDisposeDesc(&copy);
}

TEST(AEDesc, BadArgumentsAreRefusedAndLeaveNothingBehind) {
  AEDesc desc;
  desc.descriptorType = typeSInt32;
  EXPECT_EQ(AECreateDesc(typeSInt32, nullptr, 4, &desc), paramErr);
  EXPECT_EQ(desc.descriptorType, typeNull);
  EXPECT_EQ(AECreateDesc(typeSInt32, "abcd", -1, &desc), paramErr);
  EXPECT_EQ(desc.dataHandle, nullptr);
  EXPECT_EQ(AECreateDesc(typeSInt32, "abcd", 4, nullptr), paramErr);
  EXPECT_EQ(AECreateDesc(typeAppleEvent, "abcd", 4, &desc), errAEWrongDataType);
  EXPECT_EQ(AEDisposeDesc(nullptr), paramErr);
  // A null type never owns data, whatever it was given.
  EXPECT_EQ(AECreateDesc(typeNull, "abcd", 4, &desc), noErr);
  EXPECT_EQ(desc.dataHandle, nullptr);
  // Reading stops at the caller's buffer.
  ASSERT_EQ(AECreateDesc(typeUTF8Text, "abcdef", 6, &desc), noErr);
  char small[3] = {'x', 'x', 'x'};
  EXPECT_EQ(AEGetDescData(&desc, small, 2), noErr);
  EXPECT_EQ(std::memcmp(small, "abx", 3), 0);
  EXPECT_EQ(AEGetDescData(&desc, nullptr, 2), paramErr);
  AEDisposeDesc(&desc);
}

TEST(AppleEvent, KeepsEveryFieldAndGeneratesReturnIDs) {
  AEAddressDesc target;
  ASSERT_EQ(AECreateDesc(typeApplicationBundleID, "com.apple.mail", 14, &target), noErr);
  std::set<AEReturnID> generated;
  for (int i = 0; i < 100; ++i) {
    AppleEvent event;
    ASSERT_EQ(AECreateAppleEvent(kCoreEventClass, kAEQuitApplication, &target, kAutoGenerateReturnID,
                                 kAnyTransactionID, &event),
              noErr);
    const auto wrapped = ae::NSAppleEventDescriptor::adopt(&event);
    EXPECT_GT(wrapped.returnID(), 0);
    generated.insert(wrapped.returnID());
  }
  EXPECT_EQ(generated.size(), 100u);

  AppleEvent event;
  ASSERT_EQ(AECreateAppleEvent(kAEMiscStandards, kAEActivate, &target, -7, 42, &event), noErr);
  AEDisposeDesc(&target);  // the event keeps its own copy of the address
  const auto wrapped = ae::NSAppleEventDescriptor::adopt(&event);
  EXPECT_EQ(event.dataHandle, nullptr);
  EXPECT_EQ(wrapped.descriptorType(), typeAppleEvent);
  EXPECT_EQ(wrapped.eventClass(), kAEMiscStandards);
  EXPECT_EQ(wrapped.eventID(), kAEActivate);
  EXPECT_EQ(wrapped.returnID(), -7);
  EXPECT_EQ(wrapped.transactionID(), 42);
  const auto address = wrapped.attributeDescriptorForKeyword(keyAddressAttr);
  EXPECT_EQ(address.descriptorType(), typeApplicationBundleID);
  EXPECT_EQ(address.data(), QByteArray("com.apple.mail"));
  EXPECT_EQ(wrapped.attributeDescriptorForKeyword(keyReturnIDAttr).int32Value(), -7);
  EXPECT_EQ(wrapped.attributeDescriptorForKeyword(keyEventIDAttr).typeCodeValue(), kAEActivate);
  EXPECT_TRUE(wrapped.attributeDescriptorForKeyword(fourCharCode("zzzz")).isNull());
}

TEST(AppleEvent, RefusesAnEventAsAddressOrParameter) {
  AppleEvent inner;
  ASSERT_EQ(AECreateAppleEvent(kCoreEventClass, kAEQuitApplication, nullptr, 1, 0, &inner), noErr);
  AppleEvent outer;
  EXPECT_EQ(AECreateAppleEvent(kCoreEventClass, kAEQuitApplication, &inner, 1, 0, &outer), errAEWrongDataType);
  EXPECT_EQ(outer.dataHandle, nullptr);
  ASSERT_EQ(AECreateAppleEvent(kCoreEventClass, kAEQuitApplication, nullptr, 1, 0, &outer), noErr);
  EXPECT_EQ(AEPutParamDesc(&outer, keyDirectObject, &inner), errAEWrongDataType);
  AEDesc plain;
  AECreateDesc(typeSInt32, "\1\0\0\0", 4, &plain);
  EXPECT_EQ(AEPutParamDesc(&plain, keyDirectObject, &plain), errAENotAppleEvent);
  EXPECT_EQ(AESendMessage(&plain, nullptr, kAENoReply, kAEDefaultTimeout), errAENotAppleEvent);
  AEDisposeDesc(&plain);
  AEDisposeDesc(&outer);
  AEDisposeDesc(&inner);
}

TEST(AppleEvent, ParametersAreReplacedPerKeywordAndGivenBackWithoutCoercion) {
  auto event = ae::NSAppleEventDescriptor::appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(
      kCoreEventClass, kAEAnswer, ae::NSAppleEventDescriptor(), 1, 0);
  ASSERT_FALSE(event.isNull());
  EXPECT_TRUE(event.setParamDescriptorForKeyword(ae::NSAppleEventDescriptor::descriptorWithInt32(5), keyErrorNumber));
  EXPECT_TRUE(event.setParamDescriptorForKeyword(ae::NSAppleEventDescriptor::descriptorWithInt32(-1708), keyErrorNumber));
  EXPECT_EQ(event.paramDescriptorForKeyword(keyErrorNumber).int32Value(), -1708);
  EXPECT_TRUE(event.paramDescriptorForKeyword(keyErrorString).isNull());

  AEDesc result;
  EXPECT_EQ(AEGetParamDesc(event.aeDesc(), keyErrorNumber, typeUTF8Text, &result), errAECoercionFail);
  EXPECT_EQ(result.dataHandle, nullptr);
  EXPECT_EQ(AEGetParamDesc(event.aeDesc(), keyErrorString, typeWildCard, &result), errAEDescNotFound);
  ae::NSAppleEventDescriptor text = ae::NSAppleEventDescriptor::descriptorWithString(QStringLiteral("déjà"));
  EXPECT_FALSE(text.setParamDescriptorForKeyword(text, keyDirectObject));  // not an event
}

TEST(NSAppleEventDescriptor, CopiesAreIndependentAndMovesEmptyTheSource) {
  auto original = ae::NSAppleEventDescriptor::appleEventWithEventClassEventIDTargetDescriptorReturnIDTransactionID(
      kAEMiscStandards, kAEActivate,
      ae::NSAppleEventDescriptor::initWithDescriptorTypeData(typeApplicationBundleID, "com.apple.mail"), 3, 0);
  ae::NSAppleEventDescriptor copy = original;
  copy.setParamDescriptorForKeyword(ae::NSAppleEventDescriptor::descriptorWithBoolean(true), keyDirectObject);
  EXPECT_TRUE(original.paramDescriptorForKeyword(keyDirectObject).isNull());
  EXPECT_TRUE(copy.paramDescriptorForKeyword(keyDirectObject).booleanValue());

  ae::NSAppleEventDescriptor moved = std::move(copy);
  EXPECT_TRUE(copy.isNull());  // NOLINT(bugprone-use-after-move): the moved-from state is specified
  EXPECT_EQ(moved.eventID(), kAEActivate);
  moved = original;
  EXPECT_TRUE(moved.paramDescriptorForKeyword(keyDirectObject).isNull());
  const auto& alias = moved;
  moved = alias;  // self-assignment keeps the content
  EXPECT_EQ(moved.returnID(), 3);
  EXPECT_EQ(moved.attributeDescriptorForKeyword(keyAddressAttr).data(), QByteArray("com.apple.mail"));
}

}  // namespace
