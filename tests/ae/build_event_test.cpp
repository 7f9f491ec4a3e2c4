// AEBuildAppleEvent: the messages this system sends, the parameter forms, and bad formats.
#include "ae/AppleEventObjects.h"
#include "ae/AppleEvents.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using ae::NSAppleEventDescriptor;


TEST(AEBuildAppleEvent, TheQuitMessageWithAnEmptyFormat) {
  const char* identifier = "com.apple.mail";
  AppleEvent event;
  AEBuildError error{99, 99};
  ASSERT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, identifier,
                              static_cast<Size>(std::strlen(identifier)), kAutoGenerateReturnID, kAnyTransactionID,
                              &event, &error, ""),
            noErr);
  EXPECT_EQ(error.fError, aeBuildSyntaxNoErr);
  const auto quit = NSAppleEventDescriptor::adopt(&event);
  EXPECT_EQ(quit.eventClass(), 0x61657674u);
  EXPECT_EQ(quit.eventID(), 0x71756974u);
  EXPECT_NE(quit.returnID(), kAutoGenerateReturnID);
  EXPECT_EQ(quit.transactionID(), 0);
  const auto address = quit.attributeDescriptorForKeyword(keyAddressAttr);
  EXPECT_EQ(address.descriptorType(), typeApplicationBundleID);
  EXPECT_EQ(address.data(), QByteArray("com.apple.mail"));  // 14 bytes, no terminating zero
  EXPECT_EQ(address.data().size(), 14);
  EXPECT_TRUE(quit.paramDescriptorForKeyword(keyDirectObject).isNull());
}

TEST(AEBuildAppleEvent, EveryParameterForm) {
  AEDesc flag;
  ASSERT_EQ(AECreateDesc(typeBoolean, "\1", 1, &flag), noErr);
  const char raw[] = {'\0', 'x', '\0'};
  AppleEvent event;
  ASSERT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEOpenApplication, typeNull, nullptr, 0, 9, 1, &event, nullptr,
                              " '----' : -2147483648 , numb:2147483647, kind:yes , "
                              "txt1:\xE2\x80\x9C" "h\xC3\xA9llo\xE2\x80\x9D, txt2:\"plain\", flag:@, "
                              "raw :'blob'(@), hex:'blob'(\xC2\xAB" "0A 1b ff\xC2\xBB), ctxt:TEXT(\"abc\"), "
                              "numb:7",
                              &flag, Size(3), raw),
            noErr);
  AEDisposeDesc(&flag);
  const auto e = NSAppleEventDescriptor::adopt(&event);
  EXPECT_TRUE(e.attributeDescriptorForKeyword(keyAddressAttr).isNull());
  EXPECT_EQ(e.paramDescriptorForKeyword(keyDirectObject).int32Value(), INT32_MIN);
  EXPECT_EQ(e.paramDescriptorForKeyword(fourCharCode("numb")).int32Value(), 7);  // the later one wins
  EXPECT_EQ(e.paramDescriptorForKeyword(fourCharCode("kind")).descriptorType(), typeEnumerated);
  EXPECT_EQ(e.paramDescriptorForKeyword(fourCharCode("kind")).typeCodeValue(), fourCharCode("yes "));
  EXPECT_EQ(e.paramDescriptorForKeyword(fourCharCode("txt1")).stringValue(), QStringLiteral("héllo"));
  EXPECT_EQ(e.paramDescriptorForKeyword(fourCharCode("txt2")).stringValue(), QStringLiteral("plain"));
  EXPECT_TRUE(e.paramDescriptorForKeyword(fourCharCode("flag")).booleanValue());
  const auto blob = e.paramDescriptorForKeyword(fourCharCode("raw "));
  EXPECT_EQ(blob.descriptorType(), fourCharCode("blob"));
  EXPECT_EQ(blob.data(), QByteArray(raw, 3));
  EXPECT_EQ(e.paramDescriptorForKeyword(fourCharCode("hex ")).data(), QByteArray("\x0a\x1b\xff", 3));
  EXPECT_EQ(e.paramDescriptorForKeyword(fourCharCode("ctxt")).descriptorType(), fourCharCode("TEXT"));
  EXPECT_EQ(e.paramDescriptorForKeyword(fourCharCode("ctxt")).data(), QByteArray("abc"));
}

struct BadFormat {
  const char* format;
  std::uint32_t error;
  std::uint32_t position;
};

class AEBuildAppleEventBadFormat : public testing::TestWithParam<BadFormat> {};

TEST_P(AEBuildAppleEventBadFormat, BuildsNothingAndSaysWhatAndWhere) {
  AppleEvent event;
  event.descriptorType = typeSInt32;  // garbage the call must overwrite
  AEBuildError error{};
  EXPECT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, "a.b", 3, 1, 0, &event,
                              &error, GetParam().format),
            errAEBuildSyntaxError);
  EXPECT_EQ(event.descriptorType, typeNull);
  EXPECT_EQ(event.dataHandle, nullptr);
  EXPECT_EQ(error.fError, GetParam().error) << GetParam().format;
  EXPECT_EQ(error.fErrorPos, GetParam().position) << GetParam().format;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AEBuildAppleEventBadFormat,
    testing::Values(BadFormat{"x", aeBuildSyntaxBadEOF, 1}, BadFormat{"abcd 5", aeBuildSyntaxNoColon, 5},
                    BadFormat{":5", aeBuildSyntaxNoKey, 0}, BadFormat{"abcde:1", aeBuildSyntaxBadToken, 4},
                    BadFormat{"'ab:1", aeBuildSyntaxMissingQuote, 5}, BadFormat{"abcd:-", aeBuildSyntaxBadNegative, 6},
                    BadFormat{"abcd:1 2", aeBuildSyntaxNoEOF, 7}, BadFormat{"abcd:1,", aeBuildSyntaxBadEOF, 7},
                    BadFormat{"abcd:2147483648", aeBuildSyntaxBadData, 5},
                    BadFormat{"abcd:\"open", aeBuildSyntaxNoCloseString, 10},
                    BadFormat{"abcd:\xC2\xAB" "00\xC2\xBB", aeBuildSyntaxUncoercedHex, 5},
                    BadFormat{"abcd:blob(\xC2\xAB" "0g\xC2\xBB)", aeBuildSyntaxBadHex, 13},
                    BadFormat{"abcd:blob(\xC2\xAB" "012\xC2\xBB)", aeBuildSyntaxOddHex, 15},
                    BadFormat{"abcd:blob(\xC2\xAB" "01", aeBuildSyntaxNoCloseHex, 14},
                    BadFormat{"abcd:blob(\"x\"", aeBuildSyntaxBadEOF, 13},
                    BadFormat{"abcd:blob(\"x\";", aeBuildSyntaxNoCloseParen, 13},
                    BadFormat{"abcd:[1, 2]", aeBuildSyntaxBadToken, 5}, BadFormat{"abcd:{a:1}", aeBuildSyntaxBadToken, 5}));

TEST(AEBuildAppleEvent, BadArgumentsBuildNothing) {
  AppleEvent event;
  AEBuildError error{};
  EXPECT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, nullptr, 3, 1, 0, &event,
                              &error, ""),
            paramErr);
  EXPECT_EQ(event.dataHandle, nullptr);
  EXPECT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, "abc", -1, 1, 0, &event,
                              &error, ""),
            paramErr);
  EXPECT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, "abc", 3, 1, 0, &event,
                              &error, nullptr),
            paramErr);
  EXPECT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, "abc", 3, 1, 0, nullptr,
                              &error, ""),
            paramErr);
  // Arguments that cannot be what the format says.
  EXPECT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, "abc", 3, 1, 0, &event,
                              &error, "abcd:@", static_cast<const AEDesc*>(nullptr)),
            errAEBuildSyntaxError);
  EXPECT_EQ(error.fError, aeBuildSyntaxBadDesc);
  EXPECT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, "abc", 3, 1, 0, &event,
                              &error, "abcd:blob(@)", Size(-1), "x"),
            errAEBuildSyntaxError);
  EXPECT_EQ(error.fError, aeBuildSyntaxBadData);
  AppleEvent nested;
  ASSERT_EQ(AECreateAppleEvent(kCoreEventClass, kAEQuitApplication, nullptr, 1, 0, &nested), noErr);
  EXPECT_EQ(AEBuildAppleEvent(kCoreEventClass, kAEQuitApplication, typeApplicationBundleID, "abc", 3, 1, 0, &event,
                              &error, "abcd:@", static_cast<const AEDesc*>(&nested)),
            errAEBuildSyntaxError);
  EXPECT_EQ(event.dataHandle, nullptr);
  AEDisposeDesc(&nested);
}

}  // namespace
