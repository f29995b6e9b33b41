// The registry store at scale, through twreg, side by side with the sqlite3
// command-line tool doing the same work on the same database: the export of
// one key holding 100,000 values (reference: sqlite3 dumping those rows in
// order) and the import of one 16 MiB binary value (reference: sqlite3
// reading the same bytes as a hex literal into a table). Prints; never fails.
#include "bench_support.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using twbench::median;
using twbench::run;
using twbench::RunResult;

const int kValues = 100000;
const size_t kBigValue = 16u << 20;

void writeText(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

std::string manyValuesFile() {
    std::string out = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many]\r\n";
    char line[64];
    for (int i = 0; i < kValues; ++i) {
        snprintf(line, sizeof line, "\"value%06d\"=\"data of value %d\"\r\n", i, i);
        out += line;
    }
    return out;
}

// The bytes of the big value, as regedit writes them (hex pairs, lines
// continued with a backslash) and as one SQL hex literal.
void bigValueFiles(std::string& reg, std::string& sql) {
    static const char kHex[] = "0123456789abcdef";
    reg = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\r\n"
          "\"blob\"=hex:";
    sql = "CREATE TABLE IF NOT EXISTS blobs(data BLOB);\nINSERT INTO blobs VALUES(x'";
    reg.reserve(kBigValue * 3 + kBigValue / 8);
    sql.reserve(kBigValue * 2 + 64);
    unsigned x = 12345;
    for (size_t i = 0; i < kBigValue; ++i) {
        x = x * 1103515245u + 12345u;
        unsigned char b = static_cast<unsigned char>(x >> 16);
        reg += kHex[b >> 4];
        reg += kHex[b & 15];
        sql += kHex[b >> 4];
        sql += kHex[b & 15];
        if (i + 1 < kBigValue)
            reg += (i % 25 == 24) ? ",\\\r\n  " : ",";
    }
    reg += "\r\n";
    sql += "');\n";
}

double timed(const std::vector<std::string>& argv, int rounds, int* exitCode) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        RunResult r = run(argv);
        *exitCode = r.exitCode;
        if (r.exitCode != 0)
            return 0;
        times.push_back(r.seconds);
    }
    return median(times);
}

} // namespace

int main() {
    const std::string twreg = std::string(TW_BUILD_DIR) + "/tools/twreg/twreg";
    char templ[] = "/tmp/tw-bench-registry-XXXXXX";
    if (!mkdtemp(templ))
        return 0;
    const std::string dir = templ;
    const std::string db = dir + "/registry.db";
    setenv("TW_REGISTRY", db.c_str(), 1);

    writeText(dir + "/many.reg", manyValuesFile());
    int rc = 0;
    RunResult imported = run({twreg, "import", dir + "/many.reg"});
    if (imported.exitCode != 0) {
        printf("bench_registry: the import of %d values failed (exit %d)\n", kValues,
               imported.exitCode);
        return 0;
    }
    double ours = timed({twreg, "export", "HKLM\\SOFTWARE\\Many", dir + "/out.reg", "/y"}, 3, &rc);
    double ref = timed({"sqlite3", db,
                        "SELECT hex(name), type, hex(data) FROM vals WHERE key = (SELECT key FROM "
                        "vals GROUP BY key ORDER BY count(*) DESC LIMIT 1) ORDER BY id"},
                       3, &rc);
    printf("export of %d values   twreg %7.2f s   sqlite3 dump %7.2f s   ratio %.1f "
           "(import took %.2f s)\n",
           kValues, ours, ref, ref > 0 ? ours / ref : 0, imported.seconds);

    std::string reg, sql;
    bigValueFiles(reg, sql);
    writeText(dir + "/big.reg", reg);
    writeText(dir + "/big.sql", sql);
    reg.clear();
    sql.clear();
    ours = timed({twreg, "import", dir + "/big.reg"}, 3, &rc);
    if (rc != 0)
        printf("bench_registry: the import of a 16 MiB value failed (exit %d)\n", rc);
    ref = timed({"sqlite3", dir + "/reference.db", ".read " + dir + "/big.sql"}, 3, &rc);
    printf("import of a 16 MiB value   twreg %7.2f s   sqlite3 hex insert %7.2f s   ratio %.1f\n",
           ours, ref, ref > 0 ? ours / ref : 0);

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
