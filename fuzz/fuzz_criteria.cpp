// Criteria texts: parsed alone, then used to select from a table whose
// columns cover every comparison rule.
#include "tables/tabrix.h"

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace {

const char kDocument[] = R"(<r>
<T NAME="RESOURCE_ID" N="5" U="4294967295" S="-3" F="1.5" D="2.5" L="7" B="true" W="2024-01-02 03:04:05"/>
<T NAME="other" N="-1" U="0" F="0" D="0"/>
<T/>
</r>)";

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ColumnSchema cols[] = {
        {"NAME", "TEXT", nullptr, 0, nullptr, nullptr, 0, 1},
        {"N", "INTEGER", nullptr, 0, nullptr, nullptr, 0, 1},
        {"U", "ORR_SQL_UNSIGNED_INT", nullptr, 0, nullptr, nullptr, 0, 1},
        {"S", "ORR_SQL_TINYINT", "1", 0, nullptr, nullptr, 0, 1},
        {"F", "FLOAT", nullptr, 0, nullptr, nullptr, 0, 1},
        {"D", "ORR_SQL_DOUBLE", nullptr, 0, nullptr, nullptr, 0, 1},
        {"L", "ORR_SQL_LONG_INT", nullptr, 0, nullptr, nullptr, 0, 1},
        {"B", "BOOLEAN", nullptr, 0, nullptr, nullptr, 0, 1},
        {"W", "DATETIME", nullptr, 0, nullptr, nullptr, 0, 1},
    };
    TableSchema schema{"T", nullptr, cols, 9, nullptr, 0, nullptr, 0};
    RegisterTableDefn(&schema);
    CreateTableDataFromXmlBuffer(kDocument, static_cast<int32_t>(sizeof kDocument - 1));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    FreeCriteriaTree(ParseCriteria(text.c_str()));
    ResultData* result = SelectRows("T", text.c_str());
    if (result != nullptr) {
        while (GotoNextRowObject(result) != nullptr) {
            int32_t length = 0;
            GetColumnValueByName("NAME", &length, result);
        }
        FreeResultData(result);
    }
    return 0;
}
