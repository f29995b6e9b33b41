// The table library against its references, on one generated document of
// 100,000 rows: loading it against libxml2's parse of the same text, the
// loaded table's memory against the parsed document's, and an equality
// selection on a text column against SQLite's full scan of the same rows in
// its in-memory database.
#include "tables/tabrix.h"

#include "rows.h"

#include <libxml/parser.h>
#include <sqlite3.h>

#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

// ---- heap accounting ------------------------------------------------------
// malloc and friends are replaced by wrappers around glibc's own that, while
// counting is on, keep the bytes in use and their peak exact for any span of
// the run. Timed runs leave it off: asking glibc for each block's size would
// weigh on the allocation-heavy side of every comparison.

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
bool g_counting = false;
// Signed: a block counted out may have been allocated before counting began.
long long g_inUse = 0;
long long g_peak = 0;

void counted(void* p) {
    if (p == nullptr || !g_counting)
        return;
    g_inUse += static_cast<long long>(malloc_usable_size(p));
    g_peak = std::max(g_peak, g_inUse);
}
void uncounted(void* p) {
    if (p != nullptr && g_counting)
        g_inUse -= static_cast<long long>(malloc_usable_size(p));
}
} // namespace

extern "C" {
void* malloc(size_t n) {
    void* p = __libc_malloc(n);
    counted(p);
    return p;
}
void* calloc(size_t n, size_t size) {
    void* p = __libc_calloc(n, size);
    counted(p);
    return p;
}
void* realloc(void* old, size_t n) {
    uncounted(old);
    void* p = __libc_realloc(old, n);
    counted(p != nullptr ? p : (n != 0 ? old : nullptr));
    return p;
}
void free(void* p) {
    uncounted(p);
    __libc_free(p);
}
void* memalign(size_t align, size_t n) {
    void* p = __libc_memalign(align, n);
    counted(p);
    return p;
}
void* aligned_alloc(size_t align, size_t n) {
    return memalign(align, n);
}
int posix_memalign(void** out, size_t align, size_t n) {
    void* p = memalign(align, n);
    if (p == nullptr)
        return 12; // ENOMEM
    *out = p;
    return 0;
}
}

using twbench::median;
using twbench::processCpuSeconds;
using twbench::Spread;

namespace {

const int kRows = 100000;
const int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

std::string Name(int i) {
    char buf[32];
    snprintf(buf, sizeof buf, "host-%06d", i);
    return buf;
}

std::string Document() {
    std::string xml = "<?xml version=\"1.0\"?>\n<Inventory>\n<AssetList>\n";
    xml.reserve(static_cast<size_t>(kRows) * 120);
    for (int i = 0; i < kRows; ++i) {
        char row[256];
        snprintf(row, sizeof row,
                 "<Asset NAME=\"%s\" COUNT=\"%d\" SCORE=\"%d.5\" CREATED=\"2024-%02d-%02d "
                 "03:04:05\" ACTIVE=\"%s\"/>\n",
                 Name(i).c_str(), i, i % 100, i % 12 + 1, i % 28 + 1, i % 2 ? "true" : "false");
        xml += row;
    }
    xml += "</AssetList>\n</Inventory>\n";
    return xml;
}

void RegisterAsset() {
    ColumnSchema cols[] = {
        {"ID", "INTEGER", nullptr, 1, "ASSET_GEN", nullptr, 0, 0},
        {"NAME", "ORR_SQL_VARCHAR", nullptr, 1, nullptr, nullptr, 64, 0},
        {"COUNT", "INTEGER", nullptr, 0, nullptr, nullptr, 0, 1},
        {"SCORE", "FLOAT", nullptr, 0, nullptr, nullptr, 0, 1},
        {"CREATED", "DATETIME", nullptr, 0, nullptr, nullptr, 0, 1},
        {"ACTIVE", "BOOLEAN", "false", 0, nullptr, nullptr, 0, 1},
    };
    const char* pk[] = {"NAME"};
    TableSchema schema{"Asset", nullptr, cols, 6, pk, 1, nullptr, 0};
    RegisterTableDefn(&schema);
}

// Lets the allocator merge what earlier runs freed, so that no timed run pays
// for tidying up after the one before.
void Settle() {
    // A large request makes glibc consolidate its free lists; unlike
    // malloc_trim it keeps the pages, so the next run does not fault them in.
    void* p = malloc(1 << 20);
    free(p);
}

// One load into an empty table, its processor time; removing the previous
// table is not timed.
double LoadTable(const std::string& xml) {
    FreeAllTableData();
    CreateSeqGenEntry("ASSET_GEN", 1, kRows + 1000);
    Settle();
    double t = processCpuSeconds();
    if (CreateTableDataFromXmlBuffer(xml.data(), static_cast<int32_t>(xml.size())) != 1)
        fprintf(stderr, "twbench: the document did not load\n");
    return processCpuSeconds() - t;
}

// libxml2's parse alone, its processor time; freeing the document is not timed.
double ParseOnly(const std::string& xml) {
    Settle();
    double t = processCpuSeconds();
    xmlDocPtr d =
        xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "file.xml", nullptr, kParseOptions);
    double spent = processCpuSeconds() - t;
    xmlFreeDoc(d);
    return spent;
}

int SelectOurs() {
    ResultData* r = SelectRows("Asset", "NAME='host-054321'");
    int n = 0;
    while (r != nullptr && GotoNextRowObject(r) != nullptr)
        ++n;
    FreeResultData(r);
    return n;
}

struct Sqlite {
    sqlite3* db = nullptr;
    ~Sqlite() { sqlite3_close(db); }
};

void LoadSqlite(Sqlite& s) {
    sqlite3_close(s.db);
    sqlite3_open(":memory:", &s.db);
    sqlite3_exec(s.db,
                 "CREATE TABLE Asset(ID INTEGER, NAME TEXT, COUNT INTEGER, SCORE REAL, "
                 "CREATED TEXT, ACTIVE INTEGER)",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(s.db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(s.db, "INSERT INTO Asset VALUES(?,?,?,?,?,?)", -1, &st, nullptr);
    for (int i = 0; i < kRows; ++i) {
        std::string name = Name(i);
        char created[32];
        snprintf(created, sizeof created, "2024-%02d-%02d 03:04:05", i % 12 + 1, i % 28 + 1);
        sqlite3_bind_int(st, 1, i + 1);
        sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 3, i);
        sqlite3_bind_double(st, 4, i % 100 + 0.5);
        sqlite3_bind_text(st, 5, created, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 6, i % 2);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(s.db, "COMMIT", nullptr, nullptr, nullptr);
}

int SelectSqlite(Sqlite& s) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(s.db, "SELECT * FROM Asset WHERE NAME = 'host-054321'", -1, &st, nullptr);
    int n = 0;
    while (sqlite3_step(st) == SQLITE_ROW)
        ++n;
    sqlite3_finalize(st);
    return n;
}

} // namespace

namespace twbench {

void TableRows(Context& c) {
    // Freed memory stays with the process, so that no run pays for the page
    // faults of a heap the previous run gave back and both sides compare warm.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    const std::string xml = Document();
    RegisterAsset();

    // The load beside libxml2's parse of the same text, in turn.
    const int rounds = 2 * c.rounds + 1;
    std::vector<double> parse, load, loadRatios;
    for (int i = 0; i < rounds; ++i) {
        parse.push_back(ParseOnly(xml));
        load.push_back(LoadTable(xml));
        loadRatios.push_back(load.back() / parse.back());
    }
    c.report->add({"XML load (100,000 rows) / libxml2's parse alone", median(load) * 1e3,
                   median(parse) * 1e3, "ms", "", median(load) / median(parse), "<= 2.0", 2.0,
                   false, Spread("per-round ratios", loadRatios)});

    // Heap: the parsed document, the loaded table and the load's peak.
    g_counting = true;
    long long before = g_inUse;
    xmlDocPtr doc =
        xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "file.xml", nullptr, kParseOptions);
    const double docBytes = static_cast<double>(g_inUse - before);
    xmlFreeDoc(doc);
    FreeAllTableData();
    before = g_inUse;
    g_peak = g_inUse;
    LoadTable(xml);
    const double tableBytes = static_cast<double>(g_inUse - before),
                 loadPeak = static_cast<double>(g_peak - before);
    g_counting = false;
    char note[120];
    snprintf(note, sizeof note, "the load's peak: %.1f MB", loadPeak / 1048576.0);
    c.report->add({"loaded table / parsed document (heap)", tableBytes / 1048576.0,
                   docBytes / 1048576.0, "MB", "", tableBytes / docBytes, "<= 2", 2.0, false,
                   note});

    // Selection by a text column beside SQLite's full scan of the same rows.
    Sqlite sqlite;
    LoadSqlite(sqlite);
    int ours = SelectOurs(), theirs = SelectSqlite(sqlite);
    if (ours != 1 || theirs != 1)
        printf("tables: unexpected matches: ours %d, SQLite %d\n", ours, theirs);
    std::vector<double> selects, scans, selectRatios;
    for (int i = 0; i < 10 * c.rounds; ++i) {
        double t0 = processCpuSeconds();
        SelectOurs();
        double t1 = processCpuSeconds();
        SelectSqlite(sqlite);
        double t2 = processCpuSeconds();
        selects.push_back(t1 - t0);
        scans.push_back(t2 - t1);
        selectRatios.push_back((t1 - t0) / (t2 - t1));
    }
    c.report->add({"select NAME='...' / SQLite full scan", median(selects) * 1e3,
                   median(scans) * 1e3, "ms", "", median(selects) / median(scans), "<= 0.8", 0.8,
                   false, Spread("per-round ratios", selectRatios)});
    FreeAllTableData();
}

} // namespace twbench
