// SPDX-License-Identifier: MIT
#pragma once

// job new, status, report and export: the job's file, no meter.

#include "cli/options.h"
#include "job/jobstatus.h"

namespace cli {

int jobNew(const Options &options);
int jobStatus(const Options &options);
int jobReport(const Options &options);
int jobExport(const Options &options);

// 0 every fibre passed, 7 any failed, 13 none failed but some untested.
int exitCodeOf(const job::JobStatus &status);

} // namespace cli
