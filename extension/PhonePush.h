#pragma once

#include "extension/PhoneLink.h"
#include "shared/messages/RelayLookupMessages.h"

#include <asio/awaitable.hpp>
#include <optional>
#include <string>

namespace brimo::fs {

// What a program set of an item's times, to put on the phone after its content: the phone's
// commit gives the new content the time of the commit.
struct ItemTimes {
    std::optional<RelayTimespec> accessTime;
    std::optional<RelayTimespec> modifyTime;

    bool empty() const { return !accessTime && !modifyTime; }
};

// An item as the phone answered for it.
struct PhoneItem {
    int error = 0;            // 0, or the errno a program gets
    RelayItemSummary summary; // when error is 0
};

// Asks the service to put `sourceName` (a file in the container root, `size` bytes) on the phone
// as `identifier`, where the phone must still hold `expectedVersion`; ends the write session,
// removes the source name, and sets `times` once the content is there. Identifiers the phone's
// binary requests cannot carry are refused at once.
asio::awaitable<PhoneItem> pushToPhone(PhoneLink& link, std::string identifier,
                                       Bytes expectedVersion, std::string sourceName, uint64_t size,
                                       ItemTimes times);

// After a push that gave `pushed`: puts `times` on the item, and its description then in
// `pushed`. Only the times are lost when this fails.
asio::awaitable<PhoneItem> setTimesOnPhone(PhoneLink& link, std::string identifier, ItemTimes times,
                                           PhoneItem pushed);

// The item a request's answer describes (a created or moved item, say).
asio::awaitable<PhoneItem> askForItem(PhoneLink& link, uint16_t code, Bytes request);

// A new empty file or folder on the phone; EEXIST when the name is taken.
asio::awaitable<PhoneItem> createOnPhone(PhoneLink& link, std::string parent, std::string name,
                                         bool directory, uint32_t mode);

// The item as the phone describes it now; ENOENT when it has none.
asio::awaitable<PhoneItem> describeOnPhone(PhoneLink& link, std::string identifier,
                                           std::optional<RelayLookupSource> source);

} // namespace brimo::fs
