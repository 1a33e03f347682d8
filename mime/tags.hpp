#pragma once

// Property tags (id << 16 | type) the importer writes, and well-known property sets.

#include <cstdint>

#include "mime/message.hpp"

namespace larkfield::mime::tags {

constexpr std::uint16_t kLong = 0x0003;
constexpr std::uint16_t kBoolean = 0x000B;
constexpr std::uint16_t kObject = 0x000D;
constexpr std::uint16_t kI8 = 0x0014;
constexpr std::uint16_t kUnicode = 0x001F;
constexpr std::uint16_t kSysTime = 0x0040;
constexpr std::uint16_t kBinary = 0x0102;
constexpr std::uint16_t kMvUnicode = 0x101F;

// Message.
constexpr std::uint32_t kMessageClass = 0x001A001F;
constexpr std::uint32_t kSubject = 0x0037001F;
constexpr std::uint32_t kSubjectPrefix = 0x003D001F;
constexpr std::uint32_t kNormalizedSubject = 0x0E1D001F;
constexpr std::uint32_t kConversationTopic = 0x0070001F;
constexpr std::uint32_t kConversationIndex = 0x00710102;
constexpr std::uint32_t kSentRepresentingName = 0x0042001F;
constexpr std::uint32_t kSentRepresentingEmail = 0x0065001F;
constexpr std::uint32_t kSentRepresentingAddrType = 0x0064001F;
constexpr std::uint32_t kSentRepresentingEntryId = 0x00410102;
constexpr std::uint32_t kSentRepresentingSearchKey = 0x003B0102;
constexpr std::uint32_t kSentRepresentingSmtp = 0x5D02001F;
constexpr std::uint32_t kSenderName = 0x0C1A001F;
constexpr std::uint32_t kSenderEmail = 0x0C1F001F;
constexpr std::uint32_t kSenderAddrType = 0x0C1E001F;
constexpr std::uint32_t kSenderEntryId = 0x0C190102;
constexpr std::uint32_t kSenderSearchKey = 0x0C1D0102;
constexpr std::uint32_t kSenderSmtp = 0x5D01001F;
constexpr std::uint32_t kDisplayTo = 0x0E04001F;
constexpr std::uint32_t kDisplayCc = 0x0E03001F;
constexpr std::uint32_t kDisplayBcc = 0x0E02001F;
constexpr std::uint32_t kClientSubmitTime = 0x00390040;
constexpr std::uint32_t kMessageDeliveryTime = 0x0E060040;
constexpr std::uint32_t kCreationTime = 0x30070040;
constexpr std::uint32_t kLastModificationTime = 0x30080040;
constexpr std::uint32_t kInternetMessageId = 0x1035001F;
constexpr std::uint32_t kInReplyToId = 0x1042001F;
constexpr std::uint32_t kInternetReferences = 0x1039001F;
constexpr std::uint32_t kSearchKey = 0x300B0102;
constexpr std::uint32_t kTransportMessageHeaders = 0x007D001F;
constexpr std::uint32_t kImportance = 0x00170003;
constexpr std::uint32_t kPriority = 0x00260003;
constexpr std::uint32_t kSensitivity = 0x00360003;
constexpr std::uint32_t kMessageFlags = 0x0E070003;
constexpr std::uint32_t kMessageStatus = 0x0E170003;
constexpr std::uint32_t kMessageSize = 0x0E080003;
constexpr std::uint32_t kHasAttach = 0x0E1B000B;
constexpr std::uint32_t kInternetCpid = 0x3FDE0003;
constexpr std::uint32_t kMessageCodepage = 0x3FFD0003;
constexpr std::uint32_t kBody = 0x1000001F;
constexpr std::uint32_t kHtml = 0x10130102;
constexpr std::uint32_t kNativeBody = 0x10160003;
constexpr std::uint32_t kReplyRecipientEntries = 0x004F0102;
constexpr std::uint32_t kReplyRecipientNames = 0x0050001F;
constexpr std::uint32_t kReadReceiptRequested = 0x0029000B;
constexpr std::uint32_t kReadReceiptEntryId = 0x00460102;
constexpr std::uint32_t kReadReceiptSearchKey = 0x00530102;
constexpr std::uint32_t kOriginatorDeliveryReportRequested = 0x0023000B;
constexpr std::uint32_t kMessageToMe = 0x0057000B;
constexpr std::uint32_t kMessageCcMe = 0x0058000B;
constexpr std::uint32_t kListHelp = 0x1043001F;
constexpr std::uint32_t kListSubscribe = 0x1044001F;
constexpr std::uint32_t kListUnsubscribe = 0x1045001F;

// Recipient rows.
constexpr std::uint32_t kRowId = 0x30000003;
constexpr std::uint32_t kRecipientType = 0x0C150003;
constexpr std::uint32_t kDisplayName = 0x3001001F;
constexpr std::uint32_t kEmailAddress = 0x3003001F;
constexpr std::uint32_t kAddrType = 0x3002001F;
constexpr std::uint32_t kSmtpAddress = 0x39FE001F;
constexpr std::uint32_t kEntryId = 0x0FFF0102;
constexpr std::uint32_t kRecordKey = 0x0FF90102;
constexpr std::uint32_t kObjectType = 0x0FFE0003;
constexpr std::uint32_t kDisplayType = 0x39000003;
constexpr std::uint32_t kResponsibility = 0x0E0F000B;
constexpr std::uint32_t kSendRichInfo = 0x3A40000B;
constexpr std::uint32_t k7BitDisplayName = 0x39FF001F;
constexpr std::uint32_t kTransmittableDisplayName = 0x3A20001F;
constexpr std::uint32_t kRecipientFlags = 0x5FFD0003;
constexpr std::uint32_t kRecipientTrackStatus = 0x5FFF0003;

// Attachments.
constexpr std::uint32_t kAttachNum = 0x0E210003;
constexpr std::uint32_t kAttachMethod = 0x37050003;
constexpr std::uint32_t kAttachDataBin = 0x37010102;
constexpr std::uint32_t kAttachLongFilename = 0x3707001F;
constexpr std::uint32_t kAttachFilename = 0x3704001F;
constexpr std::uint32_t kAttachExtension = 0x3703001F;
constexpr std::uint32_t kAttachMimeTag = 0x370E001F;
constexpr std::uint32_t kAttachContentId = 0x3712001F;
constexpr std::uint32_t kAttachContentLocation = 0x3713001F;
constexpr std::uint32_t kAttachFlags = 0x37140003;
constexpr std::uint32_t kAttachmentHidden = 0x7FFE000B;
constexpr std::uint32_t kRenderingPosition = 0x370B0003;
constexpr std::uint32_t kAttachSize = 0x0E200003;
constexpr std::uint32_t kTextAttachmentCharset = 0x371B001F;

constexpr std::int32_t kAttachByValue = 1;
constexpr std::int32_t kAttachEmbeddedMsg = 5;

constexpr std::int32_t kFlagRead = 0x1;
constexpr std::int32_t kFlagUnsent = 0x8;
constexpr std::int32_t kFlagHasAttach = 0x10;

// {00062008-0000-0000-C000-000000000046}
constexpr Guid kPsetidCommon{{0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x46}};
// {00020386-0000-0000-C000-000000000046}
constexpr Guid kPsInternetHeaders{{0x86, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x46}};
// {00020329-0000-0000-C000-000000000046}
constexpr Guid kPsPublicStrings{{0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr std::uint32_t kLidSmartNoAttach = 0x8514;

}  // namespace larkfield::mime::tags
