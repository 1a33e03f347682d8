#pragma once

// The importer's message model to the PST writer's: the same properties, named
// properties given the ids the store hands out, attached messages converted in turn.

#include <cstdint>
#include <functional>

#include "mime/importer.hpp"
#include "mime/message.hpp"
#include "pst/messaging/store.hpp"

namespace larkfield::mailstore {

using NamedIdSource = std::function<std::uint16_t(const pst::NamedPropertyKey&)>;

pst::Message ToPstMessage(mime::Message&& message, const NamedIdSource& named_id);

// An imported message as the store keeps it: ToPstMessage, with its flags decided here
// and nowhere else. Every converted message is read; has-attachment says whether it
// carries attachments at all, hidden ones included, as the attachment table the store
// writes for it does; any other state the importer set (unsent, for one) stays.
pst::Message StoreMessage(mime::ImportResult&& imported, const NamedIdSource& named_id);

}  // namespace larkfield::mailstore
