// The results table of the hostile-server cases: every case adds its row,
// and the tables are printed (markdown) when the test program ends, and
// appended to $TAVREL_RELIABILITY_OUT when that is set.
#pragma once

#include <string>

namespace hostile {

// header: the table's markdown header line ("| a | b |"); row likewise.
void report_row(const std::string &table, const std::string &header, const std::string &row);

}  // namespace hostile
