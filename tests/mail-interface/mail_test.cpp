// The message fields as they travel: a mistake in byte order or a swapped code here
// would address every request to the wrong handler.
#include "mail-interface/mail.h"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
