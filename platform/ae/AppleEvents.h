// The Apple Event Manager subset the helpers use, with the platform's names, types and
// values, carried over the D-Bus session bus (see docs/apple-events.md for the wire format).
//
// Descriptors own their data: every AEDesc made by a call here must be released with
// AEDisposeDesc, which is safe on a null descriptor and leaves it null. No call throws.
#pragma once

#include <QString>

#include <cstdint>

using FourCharCode = std::uint32_t;
using OSType = FourCharCode;
using DescType = FourCharCode;
using AEEventClass = FourCharCode;
using AEEventID = FourCharCode;
using AEKeyword = FourCharCode;
using OSErr = std::int16_t;
using OSStatus = std::int32_t;
using AEReturnID = std::int16_t;
using AETransactionID = std::int32_t;
using AESendMode = std::int32_t;
using Size = long;

// Opaque storage behind a descriptor; only this library looks inside.
struct OpaqueAEDataStorageType;
using AEDataStorage = OpaqueAEDataStorageType*;

struct AEDesc {
  DescType descriptorType;
  AEDataStorage dataHandle;
};
typedef AEDesc AEAddressDesc;
typedef AEDesc AppleEvent;
typedef AEDesc AERecord;
typedef AEDesc AEDescList;

struct AEBuildError {
  std::uint32_t fError;     // one of the aeBuildSyntax* codes
  std::uint32_t fErrorPos;  // byte offset in the format string where parsing stopped
};

// A four-character code, its first character in the most significant byte: "quit" is 0x71756974.
constexpr FourCharCode fourCharCode(const char (&s)[5]) {
  return (FourCharCode(static_cast<unsigned char>(s[0])) << 24) |
         (FourCharCode(static_cast<unsigned char>(s[1])) << 16) |
         (FourCharCode(static_cast<unsigned char>(s[2])) << 8) |
         FourCharCode(static_cast<unsigned char>(s[3]));
}

// The code as its four characters when all four are printable ASCII ("aevt"), otherwise as
// "0x" and eight hex digits, so that every code has a distinct, readable text form.
QString fourCharCodeString(FourCharCode code);

// ---- Descriptor types -----------------------------------------------------------------
inline constexpr DescType typeNull = fourCharCode("null");
inline constexpr DescType typeWildCard = fourCharCode("****");
inline constexpr DescType typeAppleEvent = fourCharCode("aevt");
inline constexpr DescType typeApplicationBundleID = fourCharCode("bund");
inline constexpr DescType typeSInt16 = fourCharCode("shor");
inline constexpr DescType typeSInt32 = fourCharCode("long");
inline constexpr DescType typeBoolean = fourCharCode("bool");
inline constexpr DescType typeTrue = fourCharCode("true");
inline constexpr DescType typeFalse = fourCharCode("fals");
inline constexpr DescType typeType = fourCharCode("type");
inline constexpr DescType typeEnumerated = fourCharCode("enum");
inline constexpr DescType typeUTF8Text = fourCharCode("utf8");

// ---- Events ---------------------------------------------------------------------------
inline constexpr AEEventClass kCoreEventClass = fourCharCode("aevt");
inline constexpr AEEventID kAEQuitApplication = fourCharCode("quit");
inline constexpr AEEventID kAEOpenApplication = fourCharCode("oapp");
inline constexpr AEEventID kAEAnswer = fourCharCode("ansr");
inline constexpr AEEventClass kAEMiscStandards = fourCharCode("misc");
inline constexpr AEEventID kAEActivate = fourCharCode("actv");

// ---- Keywords -------------------------------------------------------------------------
inline constexpr AEKeyword keyDirectObject = fourCharCode("----");
inline constexpr AEKeyword keyErrorNumber = fourCharCode("errn");
inline constexpr AEKeyword keyErrorString = fourCharCode("errs");
inline constexpr AEKeyword keyAddressAttr = fourCharCode("addr");
inline constexpr AEKeyword keyEventClassAttr = fourCharCode("evcl");
inline constexpr AEKeyword keyEventIDAttr = fourCharCode("evid");
inline constexpr AEKeyword keyReturnIDAttr = fourCharCode("rtid");
inline constexpr AEKeyword keyTransactionIDAttr = fourCharCode("tran");
inline constexpr AEKeyword keyReplyRequestedAttr = fourCharCode("repq");

// ---- Send modes, timeouts, IDs --------------------------------------------------------
inline constexpr AESendMode kAENoReply = 1;
inline constexpr AESendMode kAEQueueReply = 2;
inline constexpr AESendMode kAEWaitReply = 3;
inline constexpr AESendMode kAEReplyModeMask = 3;  // the other mode bits are accepted and ignored
inline constexpr long kAEDefaultTimeout = -1;      // 3600 ticks
inline constexpr long kNoTimeOut = -2;             // wait without limit
inline constexpr AEReturnID kAutoGenerateReturnID = -1;
inline constexpr AETransactionID kAnyTransactionID = 0;

// ---- Statuses -------------------------------------------------------------------------
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus paramErr = -50;              // a null or out-of-range argument
inline constexpr OSStatus memFullErr = -108;
inline constexpr OSStatus procNotFound = -600;         // nobody owns the target's name
inline constexpr OSStatus connectionInvalid = -609;    // no bus, or the target left during the call
inline constexpr OSStatus portNameExistsErr = -910;    // registerApplication: the name is taken
inline constexpr OSStatus errAECoercionFail = -1700;
inline constexpr OSStatus errAEDescNotFound = -1701;
inline constexpr OSStatus errAEWrongDataType = -1703;
inline constexpr OSStatus errAENotAppleEvent = -1707;
inline constexpr OSStatus errAEEventNotHandled = -1708;
inline constexpr OSStatus errAETimeout = -1712;
inline constexpr OSStatus errAEUnknownAddressType = -1716;
inline constexpr OSStatus errAEBuildSyntaxError = -1740;
inline constexpr OSStatus errAEEventFailed = -10000;   // the target answered with something unusable

// AEBuildError::fError values.
enum : std::uint32_t {
  aeBuildSyntaxNoErr = 0,
  aeBuildSyntaxBadToken = 1,
  aeBuildSyntaxBadEOF = 2,
  aeBuildSyntaxNoEOF = 3,
  aeBuildSyntaxBadNegative = 4,
  aeBuildSyntaxMissingQuote = 5,
  aeBuildSyntaxBadHex = 6,
  aeBuildSyntaxOddHex = 7,
  aeBuildSyntaxNoCloseHex = 8,
  aeBuildSyntaxUncoercedHex = 9,
  aeBuildSyntaxNoCloseString = 10,
  aeBuildSyntaxBadDesc = 11,
  aeBuildSyntaxBadData = 12,
  aeBuildSyntaxNoCloseParen = 13,
  aeBuildSyntaxNoCloseBracket = 14,
  aeBuildSyntaxNoCloseBrace = 15,
  aeBuildSyntaxNoKey = 16,
  aeBuildSyntaxNoColon = 17,
  aeBuildSyntaxCoercedList = 18,
  aeBuildSyntaxUncoercedDoubleAt = 19,
};

// ---- Descriptors ----------------------------------------------------------------------

// Makes *desc the null descriptor (typeNull, no data). Does not release anything.
void AEInitializeDesc(AEDesc* desc);

// Copies `size` bytes from `data` into a new descriptor of `type`. typeNull gives the null
// descriptor. paramErr for a null result, a negative size, or null data with a non-zero size;
// *result is the null descriptor on every failure.
OSErr AECreateDesc(DescType type, const void* data, Size size, AEDesc* result);

// Releases what the descriptor owns and makes it null. Null and already-disposed
// descriptors are fine; a null pointer gives paramErr.
OSErr AEDisposeDesc(AEDesc* desc);

// A deep, independent copy. *result is the null descriptor on failure.
OSErr AEDuplicateDesc(const AEDesc* desc, AEDesc* result);

// Number of data bytes of a plain descriptor (0 for null and for events).
Size AEGetDescDataSize(const AEDesc* desc);

// Copies up to maximumSize data bytes of a plain descriptor into dataPtr.
OSErr AEGetDescData(const AEDesc* desc, void* dataPtr, Size maximumSize);

// ---- Apple events ---------------------------------------------------------------------

// Makes an event addressed to `target` (which is copied; null means no address).
// kAutoGenerateReturnID is replaced by a return ID generated here, unique within this
// process for the next 32767 events. *result is the null descriptor on failure.
OSErr AECreateAppleEvent(AEEventClass eventClass, AEEventID eventID, const AEAddressDesc* target,
                         AEReturnID returnID, AETransactionID transactionID, AppleEvent* result);

// AECreateAppleEvent with the address given as type and bytes, plus parameters described by
// paramsFmt (docs/apple-events.md lists the forms understood; "" means none). A format that
// cannot be parsed gives errAEBuildSyntaxError, fills *error (when not null) and builds
// nothing: *result is the null descriptor on every failure.
OSStatus AEBuildAppleEvent(AEEventClass eventClass, AEEventID eventID, DescType addressType,
                           const void* addressData, Size addressLength, AEReturnID returnID,
                           AETransactionID transactionID, AppleEvent* result, AEBuildError* error,
                           const char* paramsFmt, ...);

// Parameters of an event (plain descriptors only). AEPutParamDesc replaces a parameter of the
// same keyword; AEGetParamDesc gives errAEDescNotFound when there is none.
OSErr AEPutParamDesc(AppleEvent* event, AEKeyword keyword, const AEDesc* desc);
OSErr AEGetParamDesc(const AppleEvent* event, AEKeyword keyword, DescType desiredType,
                     AEDesc* result);

// Sends `event` to the application its address names (typeApplicationBundleID only).
// Never starts an application. sendMode's low bits choose the reply policy:
//  - kAENoReply: does not wait for the target (two short round trips to the bus daemon).
//    procNotFound when nobody owns its name; noErr once the event has left this process.
//  - kAEWaitReply: blocks the calling thread until the target has answered, for at most
//    timeOutInTicks / 60 s (kAEDefaultTimeout: 3600 ticks, kNoTimeOut: no limit); the
//    status is the target's (noErr, errAEEventNotHandled, ...) or errAETimeout,
//    procNotFound, connectionInvalid. The answer's parameters go into *reply when given.
//  - kAEQueueReply is not supported: paramErr.
// *reply (when not null) is made null first; the caller disposes of it.
OSStatus AESendMessage(const AppleEvent* event, AppleEvent* reply, AESendMode sendMode,
                       long timeOutInTicks);
