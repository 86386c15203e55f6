#pragma once

#include "app/updates/UpdaterController.h"

#include <QByteArray>
#include <vector>

// Every item of an update feed (RSS 2.0 in the appcast dialect) that the update cycle could
// install: the ones with a build number and an https download.
namespace brimo::app::updates {

namespace AppcastFeed {
// The usable items in feed order. An item's build and short version come from its
// "sparkle:version" / "sparkle:shortVersionString" elements, or else from the enclosure's
// attributes of those names; the signature from the enclosure's "sparkle:edSignature" attribute
// or an element of that name. Prefixes are matched by local name. The display version falls
// back to the build. Items without a build or without an https enclosure are left out. Throws
// AppcastParseError (xmlFailed) for a document that is not well formed, an element's text over
// kMaxElementCharacters or entities that expand too far; external entities and DTDs are never
// fetched.
std::vector<UpdateItem> parse(const QByteArray& feed);
} // namespace AppcastFeed

} // namespace brimo::app::updates
