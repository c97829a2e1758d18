#include "Report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace hostile {

namespace {

struct Table {
    std::string header;
    std::vector<std::string> rows;
};

std::mutex tables_mutex;
std::map<std::string, Table> &tables()
{
    static std::map<std::string, Table> all;
    return all;
}

std::string separator(const std::string &header)
{
    std::string out = "|";
    for (size_t i = 1; i < header.size(); i++)
        if (header[i] == '|')
            out += "---|";
    return out;
}

class PrintTables : public ::testing::Environment {
public:
    void TearDown() override
    {
        std::lock_guard<std::mutex> lock(tables_mutex);
        std::string text;
        for (const auto &[name, table] : tables()) {
            text += "\n### " + name + "\n\n" + table.header + "\n" + separator(table.header) + "\n";
            for (const auto &row : table.rows)
                text += row + "\n";
        }
        std::fputs(text.c_str(), stdout);
        if (const char *path = std::getenv("TAVREL_RELIABILITY_OUT")) {
            if (FILE *f = std::fopen(path, "a")) {
                std::fputs(text.c_str(), f);
                std::fclose(f);
            }
        }
    }
};

const bool registered = (::testing::AddGlobalTestEnvironment(new PrintTables), true);

}  // namespace

void report_row(const std::string &table, const std::string &header, const std::string &row)
{
    std::lock_guard<std::mutex> lock(tables_mutex);
    Table &t = tables()[table];
    t.header = header;
    t.rows.push_back(row);
}

}  // namespace hostile
