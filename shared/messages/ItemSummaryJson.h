#pragma once

// The JSON form of an item summary and its timespecs, shared by every document that carries
// them, so that a summary reads and writes the same wherever it appears.

#include "shared/json/JsonFields.h"
#include "shared/messages/RelayLookupMessages.h"

#include <nlohmann/json.hpp>

namespace brimo {

nlohmann::ordered_json timespecObject(const RelayTimespec& time);
RelayTimespec readTimespec(json::FieldReader& time);

nlohmann::ordered_json summaryObject(const RelayItemSummary& summary);
RelayItemSummary readSummary(json::FieldReader& fields);

} // namespace brimo
