// The message fields as they travel: a mistake in byte order or a swapped code here
// would address every request to the wrong handler.
#include "mail-interface/mail.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

TEST(MailMessages, CodesHaveTheFirstCharacterInTheMostSignificantByte) {
  EXPECT_EQ(mail::kQuitMessage.eventClass, 0x61657674u);      // "aevt"
  EXPECT_EQ(mail::kQuitMessage.eventID, 0x71756974u);         // "quit"
  EXPECT_EQ(mail::kQuitMessage.addressType, 0x62756E64u);     // "bund"
  EXPECT_EQ(mail::kActivateMessage.eventClass, 0x6D697363u);  // "misc"
  EXPECT_EQ(mail::kActivateMessage.eventID, 0x61637476u);     // "actv"
  EXPECT_EQ(mail::code("\xff\x00\x00\x01"), 0xff000001u) << "high characters must not sign-extend";
}

TEST(MailMessages, BothRequestsAreAddressedToMailByIdentifierWithAutomaticIDs) {
  for (const auto& message : {mail::kQuitMessage, mail::kActivateMessage}) {
    EXPECT_EQ(message.addressType, mail::kAddressByBundleIdentifier);
    EXPECT_EQ(message.returnID, -1);
    EXPECT_EQ(message.transactionID, 0);
  }
  EXPECT_EQ(std::strlen(mail::kMailBundleIdentifier), 14u);
}

TEST(MailMessages, SendPolicies) {
  EXPECT_EQ(mail::kQuitWithoutWaiting.sendMode, 1);
  EXPECT_EQ(mail::kQuitWithoutWaiting.timeoutTicks, -1);
  EXPECT_EQ(mail::kQuitWaitingForReply.sendMode, 3);
  EXPECT_EQ(mail::kQuitWaitingForReply.timeoutTicks, 600) << "ten seconds of 1/60 s ticks";
  EXPECT_EQ(mail::kActivateWithoutWaiting.sendMode, 1);
  EXPECT_EQ(mail::kActivateWithoutWaiting.timeoutTicks, -1);
}

TEST(MailSettings, PluginColumnsAreExactlyTwentyToTwentyFour) {
  std::vector<std::string_view> ids(mail::kPluginColumnIdentifiers.begin(),
                                    mail::kPluginColumnIdentifiers.end());
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string_view>{"20", "21", "22", "23", "24"}));
  EXPECT_STREQ(mail::kPreferenceDomain, mail::kMailBundleIdentifier);
  EXPECT_STREQ(mail::kTableColumnsKey, "TableColumns");
}

}  // namespace
