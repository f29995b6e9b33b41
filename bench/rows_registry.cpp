// The registry store at scale, through twreg, beside the sqlite3 command-line
// tool doing the same work on the same database: the export of one key holding
// 100,000 values (reference: sqlite3 dumping those rows in order) and the
// import of one 16 MiB binary value (reference: sqlite3 reading the same bytes
// as a hex literal into a table).
#include "rows.h"

#include <stdio.h>

#include <filesystem>
#include <string>
#include <vector>

namespace twbench {

namespace {

const int kValues = 100000;
const size_t kBigValue = 16u << 20;

void writeText(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

std::string manyValuesFile() {
    std::string out =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many]\r\n";
    char line[64];
    for (int i = 0; i < kValues; ++i) {
        snprintf(line, sizeof line, "\"value%06d\"=\"data of value %d\"\r\n", i, i);
        out += line;
    }
    return out;
}

// The bytes of the big value as regedit writes them (hex pairs, lines
// continued with a backslash) and as one SQL hex literal.
void bigValueFiles(std::string& reg, std::string& sql) {
    static const char kHex[] = "0123456789abcdef";
    reg = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\r\n"
          "\"blob\"=hex:";
    sql = "CREATE TABLE blobs(data BLOB);\nINSERT INTO blobs VALUES(x'";
    reg.reserve(kBigValue * 3 + kBigValue / 8);
    sql.reserve(kBigValue * 2 + 64);
    unsigned x = 12345;
    for (size_t i = 0; i < kBigValue; ++i) {
        x = x * 1103515245u + 12345u;
        const unsigned char b = static_cast<unsigned char>(x >> 16);
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

// Median wall time of `rounds` runs, each after `before` (which prepares the
// run and says whether it could); 0 when a run failed.
template <typename Before>
double timed(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             int rounds, Before before) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        if (!before())
            return 0;
        RunResult r = run(argv, env);
        if (r.exitCode != 0)
            return 0;
        times.push_back(r.seconds);
    }
    return median(times);
}

} // namespace

void RegistryRows(Context& c) {
    const std::string dir = c.work + "/registry";
    std::filesystem::create_directories(dir);
    const std::string db = dir + "/registry.db";
    const std::map<std::string, std::string> env = {{"TW_REGISTRY", db}};
    const std::string twreg = c.build + "/tools/twreg/twreg";
    const int rounds = std::max(3, c.rounds / 2);
    auto always = [] { return true; };

    writeText(dir + "/many.reg", manyValuesFile());
    const RunResult imported = run({twreg, "import", dir + "/many.reg"}, env);
    if (imported.exitCode != 0) {
        printf("registry: the import of %d values failed (exit %d)\n", kValues,
               imported.exitCode);
        return;
    }
    const double ours =
        timed({twreg, "export", "HKLM\\SOFTWARE\\Many", dir + "/out.reg", "/y"}, env, rounds, always);
    const double dump =
        timed({"sqlite3", db,
               "SELECT hex(name), type, hex(data) FROM vals WHERE key = (SELECT key FROM vals "
               "GROUP BY key ORDER BY count(*) DESC LIMIT 1) ORDER BY id"},
              env, rounds, always);
    char note[120];
    snprintf(note, sizeof note, "the import of those values took %.2f s", imported.seconds);
    c.report->add({"twreg export of a key of 100,000 values / sqlite3 dump", ours, dump, "s",
                   "(sqlite3)", dump > 0 ? ours / dump : 0, "<= 5", 5, true, note});

    std::string reg, sql;
    bigValueFiles(reg, sql);
    writeText(dir + "/big.reg", reg);
    writeText(dir + "/big.sql", sql);
    const double imports = timed({twreg, "import", dir + "/big.reg"}, env, rounds, always);
    const std::string reference = dir + "/reference.db";
    const double inserts =
        timed({"sqlite3", reference, ".read " + dir + "/big.sql"}, {}, rounds, [&] {
            std::error_code ec;
            std::filesystem::remove(reference, ec);
            return true;
        });
    c.report->add({"twreg import of one 16 MiB value / sqlite3 hex insert", imports, inserts, "s",
                   "(sqlite3)", inserts > 0 ? imports / inserts : 0, "report", 0, false, ""});
}

} // namespace twbench
