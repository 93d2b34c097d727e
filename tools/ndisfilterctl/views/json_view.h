// The JSON view: one object per finished record (--json), in the schema of
// docs/ndisfilterctl.md. nlohmann-json finds these by argument-dependent
// lookup: `Json doc = record;`.
#pragma once

#include <nlohmann/json.hpp>

#include "records.h"

namespace ndisfilterctl {

// Keys keep the order they are set in.
using Json = nlohmann::ordered_json;

void to_json(Json &json, const StatusRecord &record);
void to_json(Json &json, const OperationRecord &record);
void to_json(Json &json, const CleanupRecord &record);
void to_json(Json &json, const CheckRecord &record);

// One pre-flight check, as `check`, `install` and `report` show it.
Json CheckJson(const diag::Check &check);

}  // namespace ndisfilterctl
