// The report as one JSON document (docs/ndisfilterctl.md, "report").
#pragma once

#include "report_record.h"
#include "views/json_view.h"

namespace ndisfilterctl {

void to_json(Json &json, const ReportRecord &record);

}  // namespace ndisfilterctl
