// Turns an XML table-data document into rows of registered tables.
#include "tables/table_data.h"
#include "tables/table_internal.h"
#include "tables/xml_binding.h"
#include "tables/xml_guard.h"
#include "tables/xml_loader_parts.h"
#include "base/log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

using twxml::Attr;
using twxml::Doc;
using twxml::Node;
using namespace twxml::load;

namespace {

const int32_t kDocumentMapBuckets = 50;
// libxml2 already refuses documents nested deeper than 256 levels; this bound
// holds for documents parsed by a caller with other options too.
const int kMaxElementDepth = 1024;
const int kMaxForeignKeyHops = 32;

const char kParseError[] = "error: could not parse file file.xml\n";

// Work allowed for inheriting key values (attribute comparisons, steps to
// ancestors and along chains): a fixed amount plus a share per byte of the
// document, so that no document can make a load take time out of proportion
// to its size, however its elements nest.
const uint64_t kBaseBudget = 16u * 1024u * 1024u;
const uint64_t kBudgetPerByte = 64;
const uint64_t kBudgetPerNode = 256;

// ---------------------------------------------------------------------------
// Document map: reference texts to identifiers owned by the map.

int32_t* mapGetId(HashTable* map, const char* key) {
    return static_cast<int32_t*>(HashGet(map, key));
}

bool mapPutId(HashTable* map, const char* key, int32_t id) {
    HashEntry* e = HashGetEntry(map, key);
    if (e != nullptr && e->value != nullptr) {
        *static_cast<int32_t*>(e->value) = id;
        return true;
    }
    auto* p = static_cast<int32_t*>(malloc(sizeof(int32_t)));
    if (p == nullptr)
        return false;
    *p = id;
    if (!HashPut(map, key, p)) {
        free(p);
        return false;
    }
    return true;
}

bool mapPutKey(HashTable* map, const char* table, const char* column, const char* part,
               int32_t id) {
    char* key = formatKey(table, column, part);
    bool ok = key != nullptr && mapPutId(map, key, id);
    free(key);
    return ok;
}

void* newIdValue(int32_t id) {
    auto* p = static_cast<unsigned char*>(calloc(1, 9));
    if (p != nullptr) {
        auto u = static_cast<uint32_t>(id);
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<unsigned char>(u >> (8 * i));
    }
    return p;
}

// The colon-separated parts of a reference text TABLE:COLUMN:VALUE[:...].
struct Reference {
    char* table;
    char* column;
    char* third; // up to the next colon
};

bool splitReference(const char* text, Reference* ref) {
    const char* c1 = strchr(text, ':');
    const char* c2 = strchr(c1 + 1, ':');
    const char* c3 = strchr(c2 + 1, ':');
    ref->table = copyBytes(text, static_cast<size_t>(c1 - text));
    ref->column = copyBytes(c1 + 1, static_cast<size_t>(c2 - c1 - 1));
    ref->third =
        c3 != nullptr ? copyBytes(c2 + 1, static_cast<size_t>(c3 - c2 - 1)) : copyText(c2 + 1);
    return ref->table != nullptr && ref->column != nullptr && ref->third != nullptr;
}

void freeReference(Reference* ref) {
    free(ref->table);
    free(ref->column);
    free(ref->third);
}

int colonCount(const char* s) {
    int n = 0;
    for (; *s != '\0'; ++s)
        n += *s == ':';
    return n;
}

enum class IdResult { kFound, kNoColumnDetails, kFailed };

// The identifier that a reference text in a numeric column stands for.
IdResult identifierForReference(HashTable* map, const char* tableName, ColumnDefn* col,
                                const char* text, const Reference& ref, int32_t* id) {
    if (int32_t* known = mapGetId(map, text)) {
        *id = *known;
        return mapPutKey(map, tableName, col->name, ref.third, *id) ? IdResult::kFound
                                                                    : IdResult::kFailed;
    }
    if (col->generatorName != nullptr) {
        *id = GenerateID(tableName, col);
        return mapPutId(map, text, *id) ? IdResult::kFound : IdResult::kFailed;
    }
    if (ref.table[0] == '\0' || ref.column[0] == '\0') {
        LogError("Unable to get Column details for AutoID generation \n");
        return IdResult::kNoColumnDetails;
    }
    // Try the referenced column's generator, then follow foreign keys from it
    // until a generator answers.
    const char* curTable = ref.table;
    const char* curColumn = ref.column;
    ColumnDefn* target = GetColumnDefnEntry(curTable, curColumn);
    int32_t generated = target != nullptr ? GenerateID(curTable, target) : -1;
    ForeignKeyDefn* hops[kMaxForeignKeyHops];
    int hopCount = 0;
    while (generated == -1 && hopCount < kMaxForeignKeyHops) {
        TableDefn* d = FindTableDefn(curTable);
        ForeignKeyDefn* fk = d != nullptr ? FindForeignKey(d, curColumn) : nullptr;
        if (fk == nullptr)
            break;
        hops[hopCount++] = fk;
        curTable = fk->refTable;
        curColumn = fk->refColumn;
        target = GetColumnDefnEntry(curTable, curColumn);
        generated = target != nullptr ? GenerateID(curTable, target) : -1;
    }
    if (generated == -1) {
        generated = ParseInteger(ref.third);
    } else {
        for (int i = 0; i < hopCount; ++i) {
            char* key = formatKey(hops[i]->refTable, hops[i]->refColumn, ref.third);
            if (key == nullptr)
                return IdResult::kFailed;
            int32_t* known = mapGetId(map, key);
            bool ok = true;
            if (known != nullptr)
                generated = *known;
            else
                ok = mapPutId(map, key, generated);
            free(key);
            if (!ok)
                return IdResult::kFailed;
            if (known != nullptr)
                break;
        }
    }
    *id = generated;
    if (!mapPutKey(map, tableName, col->name, ref.third, generated) ||
        !mapPutId(map, text, generated))
        return IdResult::kFailed;
    return IdResult::kFound;
}

void replaceValue(void** values, int32_t* lengths, int i, ColumnType type, void* v, int32_t len) {
    FreeColumnValue(values[i], lengths[i], type);
    values[i] = v;
    lengths[i] = len;
}

// One element: a row of the table named like it, or a container.
int CreateRowFromXmlElement(Doc* doc, Node* element, HashTable* map, LoadState* budget) {
    const char* name = nodeName(element);
    TableData* table = element->name == budget->lastName ? budget->lastTable : nullptr;
    if (table == nullptr) {
        table = GetTableDataByName(name);
        if (table == nullptr) {
            CreateTable(name);
            table = GetTableDataByName(name);
        }
        if (table == nullptr)
            return strstr(name, "List") != nullptr ? 1 : 0;
        budget->lastName = element->name;
        budget->lastTable = table;
    }
    Vector* columns = GetTableColumns(table);
    if (columns == nullptr)
        return 0;
    TableDefn* defn = table->kind == ORR_TABLE_KIND ? table->tableDefn : nullptr;
    int32_t count = table->columnCount > 0 ? table->columnCount : 0;

    AttributeList attrs;
    if (!ReadElementAttributes(doc, element, &attrs))
        return 0;
    Resolver resolver{doc, budget, {}, 0, false};
    if (defn != nullptr)
        resolver.chain[resolver.depth++] = defn;
    KeyRefs fkRefs{nullptr, 0, {}};
    KeyRefs pkRefs{nullptr, 0, {}};
    // The row and its two arrays in one block: a selection then reads one
    // place per row rather than three.
    RowObject* row = CreatePackedRowObject(table, count);
    void** values = row != nullptr ? row->values : nullptr;
    int32_t* lengths = row != nullptr ? row->lengths : nullptr;
    // Per-column flags: on the stack for ordinary tables.
    const int32_t kInlineColumns = 64;
    bool inlineFlags[2 * kInlineColumns] = {};
    bool* flags = count <= kInlineColumns
                      ? inlineFlags
                      : static_cast<bool*>(calloc(2 * static_cast<size_t>(count), sizeof(bool)));
    bool* set = flags;                                            // a value came from an attribute
    bool* noDetails = flags != nullptr ? flags + count : nullptr; // a reference lacked its parts
    bool ok = values != nullptr && lengths != nullptr && flags != nullptr;

    if (ok) {
        ok = buildForeignRefs(defn, &fkRefs);
        if (ok) {
            resolveFirstPass(&resolver, element, &fkRefs);
            resolveSecondPass(&resolver, element, &fkRefs);
            ok = !resolver.failed;
        }
    }
    if (ok)
        ok = buildPrimaryRefs(&resolver, element, defn, &pkRefs);

    // Column values from the attributes.
    int32_t i = 0;
    for (VectorNode* n = ok ? columns->head : nullptr; ok && n != nullptr && i < count;
         n = n->next, ++i) {
        auto* col = static_cast<ColumnDefn*>(n->data);
        const char* text = findAttribute(&attrs, col->name);
        if (text == nullptr)
            continue;
        if (colonCount(text) < 2) {
            ok = AllocateAndCopyColumnValue(&values[i], &lengths[i], col->type, text) == 1;
            set[i] = true;
            continue;
        }
        // TABLE:COLUMN:THIRD[:...]; only an identifier needs the parts as
        // texts of their own (every time of day has two colons).
        const char* afterSecond = strchr(strchr(text, ':') + 1, ':') + 1;
        const char* thirdEnd = strchr(afterSecond, ':');
        const size_t thirdLength =
            thirdEnd != nullptr ? static_cast<size_t>(thirdEnd - afterSecond) : strlen(afterSecond);
        if (sameName(name, "Workflow_Statements") && sameName(col->name, "NEXT_STATEMENT_ID") &&
            thirdLength == 1 && afterSecond[0] == '0') {
            // The end of a workflow: no statement follows.
            values[i] = newIdValue(0);
            lengths[i] = 4;
            ok = values[i] != nullptr;
        } else if (col->type == ORR_SQL_CHAR || col->type == ORR_SQL_VARCHAR ||
                   col->type == ORR_SQL_BLOB || col->type == ORR_SQL_TEXT) {
            ok = AllocateAndCopyColumnValue(&values[i], &lengths[i], col->type, afterSecond) == 1;
            set[i] = true;
        } else if (col->type == ORR_SQL_DATE || col->type == ORR_SQL_TIME ||
                   col->type == ORR_SQL_DATETIME) {
            ok = AllocateAndCopyColumnValue(&values[i], &lengths[i], col->type, text) == 1;
            set[i] = true;
        } else {
            Reference ref{};
            ok = splitReference(text, &ref);
            int32_t id = -1;
            IdResult r =
                ok ? identifierForReference(map, name, col, text, ref, &id) : IdResult::kFailed;
            if (r == IdResult::kFound) {
                values[i] = newIdValue(id);
                lengths[i] = 4;
                ok = values[i] != nullptr;
                set[i] = true;
            } else if (r == IdResult::kNoColumnDetails) {
                noDetails[i] = true;
            } else {
                ok = false;
            }
            freeReference(&ref);
        }
    }

    // Columns that no attribute set: the default, then an inherited key value.
    i = 0;
    for (VectorNode* n = ok ? columns->head : nullptr; ok && n != nullptr && i < count;
         n = n->next, ++i) {
        if (set[i])
            continue;
        auto* col = static_cast<ColumnDefn*>(n->data);
        if (col->defaultValue != nullptr && col->defaultValue->value != nullptr) {
            void* copy = nullptr;
            ok = CopyColumnValue(&copy, col->defaultValue->value, col->defaultValue->length,
                                 col->type) == ORR_SUCCESS;
            if (ok)
                replaceValue(values, lengths, i, col->type, copy, col->defaultValue->length);
        }
        if (!ok || noDetails[i])
            continue;
        const char* inherited = nullptr;
        bool foreign = false;
        for (int k = 0; k < fkRefs.count; ++k) {
            if (sameName(fkRefs.items[k].local, col->name)) {
                inherited = fkRefs.items[k].value;
                foreign = true;
                break;
            }
        }
        if (!foreign) {
            for (int k = 0; k < pkRefs.count; ++k) {
                if (sameName(pkRefs.items[k].column, col->name)) {
                    inherited = pkRefs.items[k].value;
                    break;
                }
            }
        }
        if (inherited == nullptr)
            continue;
        void* v = nullptr;
        int32_t len = 0;
        ok = AllocateAndCopyColumnValue(&v, &len, col->type, inherited) == 1;
        if (ok && v != nullptr)
            replaceValue(values, lengths, i, col->type, v, len);
    }

    freeKeyRefs(&fkRefs);
    freeKeyRefs(&pkRefs);
    freeAttributes(&attrs);
    if (flags != inlineFlags)
        free(flags);

    if (ok && AddNewRowToTable(table, name, row) == 1)
        return 1;
    // Nothing of a failed row stays behind.
    FreeRowObject(row, columns, count);
    return 0;
}

// Walks a sibling list and everything below it in document order, parents
// before children, with an explicit stack. A row that fails ends its own
// sibling list; at the top level it fails the walk.
int CreateTableDataFromNodes(Doc* doc, Node* first, HashTable* map, LoadState* budget) {
    Node* stack[kMaxElementDepth];
    int depth = 0;
    Node* n = first;
    for (;;) {
        if (n == nullptr) {
            if (depth == 0)
                return 1;
            n = stack[--depth]->next;
            continue;
        }
        if (n->type == twxml::kElementNode) {
            if (!CreateRowFromXmlElement(doc, n, map, budget)) {
                LogError("Cannot create and add a new row while constructing tabledata from XML "
                         "file.\n");
                if (budget->spent) {
                    LogError("XML document refused: inheriting key values needs more work than "
                             "its size allows\n");
                    return 0;
                }
                if (depth == 0)
                    return 0;
                n = nullptr; // the rest of this sibling list is not visited
                continue;
            }
            // Only elements are descended into: an entity reference's children
            // are its declaration's content, shared by every reference.
            if (n->children != nullptr) {
                if (depth == kMaxElementDepth) {
                    LogError("XML elements nested deeper than %d levels are not loaded.\n",
                             kMaxElementDepth);
                    n = nullptr;
                    continue;
                }
                stack[depth++] = n;
                n = n->children;
                continue;
            }
        }
        n = n->next;
    }
}

// Elements and attributes below `element`, counted without recursion.
uint64_t countNodes(Node* element) {
    uint64_t count = 0;
    Node* n = element->children;
    while (n != nullptr) {
        if (n->type == twxml::kElementNode) {
            ++count;
            for (Attr* a = n->properties; a != nullptr; a = a->next)
                ++count;
            if (n->children != nullptr) {
                n = n->children;
                continue;
            }
        }
        // Up until a node has a next sibling, never above `element`.
        while (n != nullptr && n->next == nullptr) {
            n = n->parent;
            if (n == element)
                return count;
        }
        if (n != nullptr)
            n = n->next;
    }
    return count;
}

HashTable* newDocumentMap() {
    auto* map = static_cast<HashTable*>(calloc(1, sizeof(HashTable)));
    if (map != nullptr && !InitHashTable(map, kDocumentMapBuckets)) {
        free(map);
        return nullptr;
    }
    return map;
}

// Whether libxml2 reads a document declared in this encoding (a name that
// libxml2 does not know makes any document unparsable).
bool libxmlReadsEncoding(const char* name, size_t length) {
    if (length > 64)
        return false;
    char quote = memchr(name, '"', length) != nullptr ? '\'' : '"';
    std::string probe = "<?xml version=\"1.0\" encoding=";
    probe.append(1, quote).append(name, length).append(1, quote).append("?><r/>");
    Doc* doc = twxml::ReadMemory(probe.data(), static_cast<int>(probe.size()), nullptr, nullptr,
                                 twxml::kParseNoNet | twxml::kParseNoError |
                                     twxml::kParseNoWarning);
    twxml::FreeDoc(doc);
    return doc != nullptr;
}

// Parses checked bytes; none (with the parse error logged) when they are
// refused or unparsable. A refusal says why in a line of its own; a text that
// libxml2 would not parse either gets only the parse error.
Doc* parseDocument(const char* text, size_t length, const char* url) {
    size_t usable = 0;
    const char* encoding = nullptr;
    size_t encodingLength = 0;
    if (const char* why =
            twxml::CheckDocument(text, length, &usable, &encoding, &encodingLength)) {
        if (why == twxml::kUnreadEncoding && !libxmlReadsEncoding(encoding, encodingLength))
            why = twxml::kUnparsable;
        if (why != twxml::kUnparsable)
            LogError("%s", why);
        LogError(kParseError);
        return nullptr;
    }
    // No entity substitution into the tree, no network, libxml2's default
    // limits (no XML_PARSE_HUGE); its own error printing is silenced, the
    // failure is logged here. Short texts (most attribute values) are kept
    // inside their nodes: the tree is only read, and building and freeing a
    // separate block for each cost as much as the parse itself.
    Doc* doc = twxml::ReadMemory(text, static_cast<int>(usable), url, nullptr,
                                 twxml::kParseNoNet | twxml::kParseNoError |
                                     twxml::kParseNoWarning | twxml::kParseCompact);
    if (doc == nullptr)
        LogError(kParseError);
    return doc;
}

int loadDocument(const char* text, size_t length, const char* url, const char* failureLine) {
    if (!twxml::Load())
        return 0;
    HashTable* map = newDocumentMap();
    if (map == nullptr)
        return 0;
    Doc* doc = parseDocument(text, length, url);
    if (doc == nullptr) {
        FreeDocumentMap(map);
        return 0;
    }
    Node* root = twxml::DocGetRootElement(doc);
    LoadState budget{kBaseBudget + kBudgetPerByte * static_cast<uint64_t>(length), false, nullptr,
                     nullptr};
    int ok =
        CreateTableDataFromNodes(doc, root != nullptr ? root->children : nullptr, map, &budget);
    if (!ok)
        LogError("%s", failureLine);
    twxml::FreeDoc(doc);
    if (ok)
        twxml::CleanupParser();
    FreeDocumentMap(map);
    return ok ? 1 : 0;
}

// The whole file in a malloc'd buffer; none when it cannot be read.
char* readWholeFile(const char* path, size_t* size) {
    int wideLen = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    if (wideLen <= 0)
        return nullptr;
    auto* wide = static_cast<WCHAR*>(malloc(static_cast<size_t>(wideLen) * sizeof(WCHAR)));
    if (wide == nullptr)
        return nullptr;
    MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, wideLen);
    HANDLE h = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    free(wide);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    char* data = nullptr;
    LARGE_INTEGER fileSize;
    bool sized = GetFileSizeEx(h, &fileSize) && fileSize.QuadPart >= 0;
    if (sized && static_cast<ULONGLONG>(fileSize.QuadPart) > twxml::kMaxDocumentBytes)
        LogError("XML document refused: it is larger than 64 MB\n");
    else if (sized) {
        auto total = static_cast<size_t>(fileSize.QuadPart);
        data = static_cast<char*>(malloc(total + 1));
        size_t got = 0;
        while (data != nullptr && got < total) {
            DWORD chunk = 0;
            DWORD want = static_cast<DWORD>(total - got > 0x10000000 ? 0x10000000 : total - got);
            if (!ReadFile(h, data + got, want, &chunk, nullptr) || chunk == 0)
                break;
            got += chunk;
        }
        if (data != nullptr && got == total) {
            data[total] = '\0';
            *size = total;
        } else {
            free(data);
            data = nullptr;
        }
    }
    CloseHandle(h);
    return data;
}

} // namespace

void FreeDocumentMap(HashTable* map) {
    if (map == nullptr)
        return;
    for (int32_t b = 0; map->buckets != nullptr && b < map->bucketCount; ++b) {
        for (HashEntry* e = map->buckets[b]; e != nullptr; e = e->next)
            free(e->value);
    }
    FreeHashTable(map);
    free(map);
}

int CreateTableDataFromXmlBuffer(const char* text, int32_t length) {
    if (text == nullptr || length < 0) {
        LogError(kParseError);
        return 0;
    }
    return loadDocument(text, static_cast<size_t>(length), "file.xml",
                        "Cannot construct table data from XML buffer.\n");
}

int CreateTableDataFromXmlFile(const char* path) {
    size_t size = 0;
    char* data = path != nullptr ? readWholeFile(path, &size) : nullptr;
    if (data == nullptr) {
        LogError(kParseError);
        return 0;
    }
    int ok = loadDocument(data, size, path, "Cannot construct table data from XML file.\n");
    free(data);
    return ok;
}

HashTable* CreateTableDataFromXmlNode(Doc* document, Node* element) {
    if (document == nullptr || element == nullptr || !twxml::Load())
        return nullptr;
    HashTable* map = newDocumentMap();
    if (map == nullptr)
        return nullptr;
    // A caller's document has no size here; its elements and attributes stand in.
    LoadState budget{kBaseBudget + kBudgetPerNode * countNodes(element), false, nullptr, nullptr};
    if (!CreateTableDataFromNodes(document, element->children, map, &budget)) {
        LogError("Cannot construct table data from buffer node.\n");
        FreeDocumentMap(map);
        return nullptr;
    }
    return map;
}
