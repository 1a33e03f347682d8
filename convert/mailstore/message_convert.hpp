#pragma once

// The importer's message model to the PST writer's: the same properties, named
// properties given the ids the store hands out, attached messages converted in turn.

#include <cstdint>
#include <functional>

#include "mime/message.hpp"
#include "pst/messaging/store.hpp"

namespace larkfield::mailstore {

using NamedIdSource = std::function<std::uint16_t(const pst::NamedPropertyKey&)>;

pst::Message ToPstMessage(mime::Message&& message, const NamedIdSource& named_id);

// Attachments a reader shows: those without PR_ATTACHMENT_HIDDEN set to true.
std::size_t VisibleAttachments(const mime::Message& message);

}  // namespace larkfield::mailstore
