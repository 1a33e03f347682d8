#pragma once

// Fixed parts of a new store: the node ids the format reserves, the columns of the
// table templates (as Outlook's own new files carry them) and the property tags the
// messaging layer reads or computes.

#include <array>
#include <cstdint>

#include "pst/ltp/property.hpp"
#include "pst/ndb/database.hpp"

namespace larkfield::pst::layout {

using ndb::Nid;

// Internal nodes and templates.
inline constexpr Nid kMessageStore = 0x21;
inline constexpr Nid kNameToIdMap = 0x61;
inline constexpr Nid kSearchManagementQueue = 0x1E1;
inline constexpr Nid kSearchActivityList = 0x201;
inline constexpr Nid kSearchDomainObject = 0x261;
inline constexpr Nid kHierarchyTemplate = 0x60D;
inline constexpr Nid kContentsTemplate = 0x60E;
inline constexpr Nid kAssocContentsTemplate = 0x60F;
inline constexpr Nid kSearchContentsTemplate = 0x610;
inline constexpr Nid kReceiveFolderTable = 0x62B;
inline constexpr Nid kOutgoingQueueTable = 0x64C;
inline constexpr Nid kAttachmentTemplate = 0x671;
inline constexpr Nid kRecipientTemplate = 0x692;
inline constexpr Nid kChangeHistoryTemplate = 0x6B6;
inline constexpr Nid kTombstoneTemplate = 0x6D7;
inline constexpr Nid kTombstoneDateTemplate = 0x6F8;

// Folders of every new store.
inline constexpr Nid kRootFolder = 0x122;
inline constexpr Nid kSpamSearchFolder = 0x2223;
inline constexpr Nid kSpamSearchUpdateQueue = 0x2226;
inline constexpr Nid kSpamSearchCriteria = 0x2227;
inline constexpr Nid kSpamSearchContents = 0x2230;
inline constexpr Nid kIpmSubtree = 0x8022;
inline constexpr Nid kSearchRoot = 0x8042;
inline constexpr Nid kDeletedItems = 0x8062;

// The subnodes of a message.
inline constexpr Nid kRecipientTableSubnode = 0x692;
inline constexpr Nid kAttachmentTableSubnode = 0x671;

// The hierarchy, contents and associated contents tables of a folder share its index.
constexpr Nid hierarchy_table_of(Nid folder) {
  return ndb::make_nid(ndb::NidType::kHierarchyTable, ndb::nid_index(folder));
}
constexpr Nid contents_table_of(Nid folder) {
  return ndb::make_nid(ndb::NidType::kContentsTable, ndb::nid_index(folder));
}
constexpr Nid assoc_table_of(Nid folder) {
  return ndb::make_nid(ndb::NidType::kAssocContentsTable, ndb::nid_index(folder));
}

namespace tag {
inline constexpr PropTag kImportance = 0x00170003;
inline constexpr PropTag kMessageClass = 0x001A001F;
inline constexpr PropTag kSubject = 0x0037001F;
inline constexpr PropTag kSubjectPrefix = 0x003D001F;
inline constexpr PropTag kClientSubmitTime = 0x00390040;
inline constexpr PropTag kConversationTopic = 0x0070001F;
inline constexpr PropTag kDisplayBcc = 0x0E02001F;
inline constexpr PropTag kDisplayCc = 0x0E03001F;
inline constexpr PropTag kDisplayTo = 0x0E04001F;
inline constexpr PropTag kMessageDeliveryTime = 0x0E060040;
inline constexpr PropTag kMessageFlags = 0x0E070003;
inline constexpr PropTag kMessageSize = 0x0E080003;
inline constexpr PropTag kMessageStatus = 0x0E170003;
inline constexpr PropTag kNormalizedSubject = 0x0E1D001F;
inline constexpr PropTag kAttachSize = 0x0E200003;
inline constexpr PropTag kAttachNum = 0x0E210003;
inline constexpr PropTag kRecipientType = 0x0C150003;
inline constexpr PropTag kResponsibility = 0x0E0F000B;
inline constexpr PropTag kRecordKey = 0x0FF90102;
inline constexpr PropTag kObjectType = 0x0FFE0003;
inline constexpr PropTag kEntryId = 0x0FFF0102;
inline constexpr PropTag kRowId = 0x30000003;
inline constexpr PropTag kDisplayName = 0x3001001F;
inline constexpr PropTag kAddrType = 0x3002001F;
inline constexpr PropTag kEmailAddress = 0x3003001F;
inline constexpr PropTag kComment = 0x3004001F;
inline constexpr PropTag kCreationTime = 0x30070040;
inline constexpr PropTag kLastModificationTime = 0x30080040;
inline constexpr PropTag kSearchKey = 0x300B0102;
inline constexpr PropTag kValidFolderMask = 0x35DF0003;
inline constexpr PropTag kIpmSubtreeEntryId = 0x35E00102;
inline constexpr PropTag kIpmWastebasketEntryId = 0x35E30102;
inline constexpr PropTag kFinderEntryId = 0x35E70102;
inline constexpr PropTag kContentCount = 0x36020003;
inline constexpr PropTag kContentUnread = 0x36030003;
inline constexpr PropTag kSubfolders = 0x360A000B;
inline constexpr PropTag kContainerClass = 0x3613001F;
inline constexpr PropTag kAttachDataBinary = 0x37010102;
inline constexpr PropTag kAttachDataObject = 0x3701000D;
inline constexpr PropTag kAttachExtension = 0x3703001F;
inline constexpr PropTag kAttachFilename = 0x3704001F;
inline constexpr PropTag kAttachMethod = 0x37050003;
inline constexpr PropTag kAttachLongFilename = 0x3707001F;
inline constexpr PropTag kRenderingPosition = 0x370B0003;
inline constexpr PropTag kAttachMimeTag = 0x370E001F;
inline constexpr PropTag kAttachContentId = 0x3712001F;
inline constexpr PropTag kAttachFlags = 0x37140003;
inline constexpr PropTag kDisplayType = 0x39000003;
inline constexpr PropTag kSmtpAddress = 0x39FE001F;
inline constexpr PropTag k7BitDisplayName = 0x39FF001F;
inline constexpr PropTag kSendRichInfo = 0x3A40000B;
inline constexpr PropTag kAttachmentHidden = 0x7FFE000B;
inline constexpr PropTag kSearchCriteriaFlags = 0x660B0003;
inline constexpr PropTag kReceiveMessageClass = 0x001A001F;
inline constexpr PropTag kReceiveFolderNid = 0x66050003;
inline constexpr PropTag kPstPassword = 0x67FF0003;
inline constexpr PropTag kReplVersionHistory = 0x0E340102;
inline constexpr PropTag kReplFlags = 0x0E380003;
inline constexpr PropTag kPstLrNoRestrictions = 0x6633000B;
inline constexpr PropTag kPstLatestEnsure = 0x66FA0003;
inline constexpr PropTag kLtpRowId = 0x67F20003;
inline constexpr PropTag kLtpRowVer = 0x67F30003;
inline constexpr PropTag kNameidBucketCount = 0x00010003;
inline constexpr PropTag kNameidStreamGuid = 0x00020102;
inline constexpr PropTag kNameidStreamEntry = 0x00030102;
inline constexpr PropTag kNameidStreamString = 0x00040102;
}  // namespace tag

inline constexpr std::uint32_t kMsgFlagRead = 0x01;
inline constexpr std::uint32_t kMsgFlagHasAttach = 0x10;

// Template columns, in tag order, as in Outlook's new files.
inline constexpr std::array<PropTag, 13> kHierarchyColumns = {
    0x0E300102, 0x0E330014, 0x0E340102, 0x0E380003, 0x3001001F, 0x36020003, 0x36030003,
    0x360A000B, 0x3613001F, 0x66350003, 0x66360003, 0x67F20003, 0x67F30003};
inline constexpr std::array<PropTag, 28> kContentsColumns = {
    0x00170003, 0x001A001F, 0x00360003, 0x0037001F, 0x00390040, 0x0042001F, 0x0057000B,
    0x0058000B, 0x0070001F, 0x00710102, 0x0E03001F, 0x0E04001F, 0x0E060040, 0x0E070003,
    0x0E080003, 0x0E170003, 0x0E300102, 0x0E330014, 0x0E340102, 0x0E380003, 0x0E3C0102,
    0x0E3D0102, 0x10970003, 0x30080040, 0x30130102, 0x65C60003, 0x67F20003, 0x67F30003};
inline constexpr std::array<PropTag, 15> kAssocContentsColumns = {
    0x001A001F, 0x0E070003, 0x0E170003, 0x3001001F, 0x67F20003, 0x67F30003, 0x6800001F, 0x6803000B,
    0x68051003, 0x682F001F, 0x70030003, 0x70040102, 0x70050102, 0x7006001F, 0x70070003};
inline constexpr std::array<PropTag, 19> kSearchContentsColumns = {
    0x00170003, 0x001A001F, 0x00360003, 0x0037001F, 0x0042001F, 0x0057000B, 0x0058000B,
    0x0E03001F, 0x0E04001F, 0x0E05001F, 0x0E060040, 0x0E070003, 0x0E080003, 0x0E170003,
    0x0E2A000B, 0x30080040, 0x67F10003, 0x67F20003, 0x67F30003};
inline constexpr std::array<PropTag, 6> kAttachmentColumns = {0x0E200003, 0x3704001F, 0x37050003,
                                                              0x370B0003, 0x67F20003, 0x67F30003};
inline constexpr std::array<PropTag, 14> kRecipientColumns = {
    0x0C150003, 0x0E0F000B, 0x0FF90102, 0x0FFE0003, 0x0FFF0102, 0x3001001F, 0x3002001F,
    0x3003001F, 0x300B0102, 0x39000003, 0x39FF001F, 0x3A40000B, 0x67F20003, 0x67F30003};
inline constexpr std::array<PropTag, 5> kChangeHistoryColumns = {0x0E330014, 0x0E370102, 0x0E380003,
                                                                 0x67F20003, 0x67F30003};
inline constexpr std::array<PropTag, 9> kTombstoneColumns = {0x001A001F, 0x0E300102, 0x0E310102,
                                                             0x0E330014, 0x0E340102, 0x0E380003,
                                                             0x0E3E0102, 0x67F20003, 0x67F30003};
inline constexpr std::array<PropTag, 4> kTombstoneDateColumns = {0x0E330014, 0x30070040, 0x67F20003,
                                                                 0x67F30003};
inline constexpr std::array<PropTag, 4> kReceiveFolderColumns = {0x001A001F, 0x66050003, 0x67F20003,
                                                                 0x67F30003};
inline constexpr std::array<PropTag, 5> kOutgoingQueueColumns = {0x00390040, 0x0E100003, 0x0E140003,
                                                                 0x67F20003, 0x67F30003};

// Attachment-table columns beyond the template: what readers that only look at the
// table want to show.
inline constexpr std::array<PropTag, 7> kAttachmentExtraColumns = {
    0x3001001F, 0x3703001F, 0x3707001F, 0x370E001F, 0x3712001F, 0x37140003, 0x7FFE000B};

}  // namespace larkfield::pst::layout
