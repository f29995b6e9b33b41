// Turns an XML table-data document into rows of registered tables.
#include "tables/table_data.h"
#include "tables/table_internal.h"
#include "tables/xml_binding.h"
#include "tables/xml_guard.h"
#include "logging/log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

using twxml::Attr;
using twxml::Doc;
using twxml::Node;

namespace {

const int32_t kDocumentMapBuckets = 50;
// libxml2 already refuses documents nested deeper than 256 levels; this bound
// holds for documents parsed by a caller with other options too.
const int kMaxElementDepth = 1024;
// Foreign keys can form cycles; resolving through them stops at a table
// already being resolved and at this depth.
const int kMaxKeyResolutionDepth = 8;
const int kMaxForeignKeyHops = 32;
// An attribute whose entity references expand past this is not loaded.
const size_t kMaxExpandedValue = 16u * 1024u * 1024u;
// libxml2's node type of an entity declaration.
const int kEntityDeclNode = 17;

const char kParseError[] = "error: could not parse file file.xml\n";

// Work allowed for inheriting key values (attribute comparisons, steps to
// ancestors and along chains): a fixed amount plus a share per byte of the
// document, so that no document can make a load take time out of proportion
// to its size, however its elements nest.
const uint64_t kBaseBudget = 16u * 1024u * 1024u;
const uint64_t kBudgetPerByte = 64;
const uint64_t kBudgetPerNode = 256;

// What one load carries from element to element.
struct LoadState {
    uint64_t left; // the work budget
    bool spent;
    // The table of the last element: siblings are mostly rows of one table,
    // and libxml2 keeps one copy of each name, so a name compares by address.
    const unsigned char* lastName;
    TableData* lastTable;
};

bool sameName(const char* a, const char* b) {
    return CompareStringsNoCase(a, b) == 0;
}

const char* nodeName(const Node* n) {
    return reinterpret_cast<const char*>(n->name);
}

Node* parentElement(const Node* n) {
    Node* p = n->parent;
    return (p != nullptr && p->type == twxml::kElementNode) ? p : nullptr;
}

char* copyBytes(const char* s, size_t n) {
    auto* p = static_cast<char*>(malloc(n + 1));
    if (p == nullptr)
        return nullptr;
    memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

char* copyText(const char* s) {
    return s != nullptr ? copyBytes(s, strlen(s)) : nullptr;
}

char* formatKey(const char* table, const char* column, const char* part) {
    int n = snprintf(nullptr, 0, "%s:%s:%s", table, column, part);
    char* p = n >= 0 ? static_cast<char*>(malloc(static_cast<size_t>(n) + 1)) : nullptr;
    if (p != nullptr)
        snprintf(p, static_cast<size_t>(n) + 1, "%s:%s:%s", table, column, part);
    return p;
}

// Whether the entity references below `list` expand to at most `budget`
// bytes; every node visited also costs one unit, so empty entities nested
// many times over are caught too. Walks without recursion.
bool expansionWithin(Node* list, size_t budget) {
    size_t used = 0;
    size_t capacity = 16;
    size_t depth = 0;
    auto** stack = static_cast<Node**>(malloc(capacity * sizeof(Node*)));
    if (stack == nullptr)
        return false;
    bool ok = true;
    Node* n = list;
    for (;;) {
        if (n == nullptr) {
            if (depth == 0)
                break;
            n = stack[--depth];
            continue;
        }
        if (++used > budget) {
            ok = false;
            break;
        }
        Node* next = n->next;
        if (n->type == twxml::kTextNode || n->type == twxml::kCDataSectionNode) {
            size_t len = n->content != nullptr ? strlen(reinterpret_cast<char*>(n->content)) : 0;
            used += len;
            if (used > budget) {
                ok = false;
                break;
            }
        } else if (n->type == twxml::kEntityRefNode) {
            Node* entity = n->children;
            if (entity != nullptr && entity != reinterpret_cast<Node*>(-1) &&
                entity->type == kEntityDeclNode && entity->children != nullptr) {
                if (depth == capacity) {
                    capacity *= 2;
                    auto** grown = static_cast<Node**>(realloc(stack, capacity * sizeof(Node*)));
                    if (grown == nullptr) {
                        ok = false;
                        break;
                    }
                    stack = grown;
                }
                stack[depth++] = next;
                n = entity->children;
                continue;
            }
        }
        n = next;
    }
    free(stack);
    return ok;
}

// The value of an attribute with entity references substituted, as a
// malloc'd text; none with *failed set when memory runs out or the value
// would expand beyond bounds.
char* attributeValue(Doc* doc, Attr* a, bool* failed) {
    size_t total = 0;
    bool plain = true;
    for (Node* c = a->children; c != nullptr; c = c->next) {
        if (c->type != twxml::kTextNode) {
            plain = false;
            break;
        }
        total += c->content != nullptr ? strlen(reinterpret_cast<char*>(c->content)) : 0;
    }
    if (plain) {
        // The usual case: text alone, copied without a round trip through libxml2.
        auto* out = static_cast<char*>(malloc(total + 1));
        if (out == nullptr) {
            *failed = true;
            return nullptr;
        }
        size_t at = 0;
        for (Node* c = a->children; c != nullptr; c = c->next) {
            if (c->content == nullptr)
                continue;
            size_t len = strlen(reinterpret_cast<char*>(c->content));
            memcpy(out + at, c->content, len);
            at += len;
        }
        out[at] = '\0';
        return out;
    }
    if (!expansionWithin(a->children, kMaxExpandedValue)) {
        LogError("The attribute %s expands beyond %u bytes; it is not loaded.\n",
                 reinterpret_cast<const char*>(a->name), static_cast<unsigned>(kMaxExpandedValue));
        *failed = true;
        return nullptr;
    }
    unsigned char* s = twxml::NodeListGetString(doc, a->children, 1);
    char* out = copyText(s != nullptr ? reinterpret_cast<char*>(s) : "");
    twxml::Free(s);
    if (out == nullptr)
        *failed = true;
    return out;
}

struct Attribute {
    const char* name;
    const char* value; // the node's own text, or `owned`
    char* owned;
};

struct AttributeList {
    Attribute* items;
    int count;
};

void freeAttributes(AttributeList* list) {
    for (int i = 0; i < list->count; ++i)
        free(list->items[i].owned);
    free(list->items);
    list->items = nullptr;
    list->count = 0;
}

// The element's attributes as (name, value) pairs in document order. A value
// that is one text node is read in place, without a copy.
bool ReadElementAttributes(Doc* doc, Node* element, AttributeList* out) {
    out->items = nullptr;
    out->count = 0;
    int count = 0;
    for (Attr* a = element->properties; a != nullptr; a = a->next)
        ++count;
    if (count == 0)
        return true;
    out->items = static_cast<Attribute*>(calloc(static_cast<size_t>(count), sizeof(Attribute)));
    if (out->items == nullptr)
        return false;
    bool failed = false;
    for (Attr* a = element->properties; a != nullptr; a = a->next) {
        Attribute& item = out->items[out->count++];
        item.name = reinterpret_cast<const char*>(a->name);
        Node* only = a->children;
        if (only != nullptr && only->next == nullptr && only->type == twxml::kTextNode &&
            only->content != nullptr) {
            item.value = reinterpret_cast<const char*>(only->content);
            continue;
        }
        item.owned = attributeValue(doc, a, &failed);
        item.value = item.owned;
        if (failed) {
            freeAttributes(out);
            return false;
        }
    }
    return true;
}

const char* findAttribute(const AttributeList* list, const char* name) {
    for (int i = 0; i < list->count; ++i) {
        if (sameName(list->items[i].name, name))
            return list->items[i].value;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Inherited key values

// A key value that a row may take from the elements around it: for a foreign
// key the referenced table and column and the local column, for a primary key
// the column alone.
struct KeyRef {
    const char* table;
    const char* column;
    const char* local;
    char* value;
};

// A few references live inside the record; never copy one once it holds them.
struct KeyRefs {
    KeyRef* items;
    int count;
    KeyRef inlineItems[4];
};

bool reserveKeyRefs(KeyRefs* refs, int n) {
    refs->count = 0;
    if (n <= 4) {
        memset(refs->inlineItems, 0, sizeof refs->inlineItems);
        refs->items = refs->inlineItems;
        return true;
    }
    refs->items = static_cast<KeyRef*>(calloc(static_cast<size_t>(n), sizeof(KeyRef)));
    return refs->items != nullptr;
}

void freeKeyRefs(KeyRefs* refs) {
    for (int i = 0; i < refs->count; ++i)
        free(refs->items[i].value);
    if (refs->items != refs->inlineItems)
        free(refs->items);
    refs->items = nullptr;
    refs->count = 0;
}

bool buildForeignRefs(TableDefn* defn, KeyRefs* out) {
    out->items = nullptr;
    out->count = 0;
    if (defn == nullptr || defn->constraints == nullptr ||
        defn->constraints->foreignKeys == nullptr || defn->constraints->foreignKeys->count == 0)
        return true;
    Vector* fks = defn->constraints->foreignKeys;
    if (!reserveKeyRefs(out, fks->count))
        return false;
    for (VectorNode* n = fks->head; n != nullptr && out->count < fks->count; n = n->next) {
        auto* fk = static_cast<ForeignKeyDefn*>(n->data);
        out->items[out->count++] = KeyRef{fk->refTable, fk->refColumn, fk->localColumn, nullptr};
        LogTrace("Column Name : %s\n", fk->localColumn);
        LogTrace("Ref Column  : %s\n", fk->refColumn);
        LogTrace("Tablename : %s\n", fk->refTable);
    }
    return true;
}

struct Resolver {
    Doc* doc;
    LoadState* budget;
    TableDefn* chain[kMaxKeyResolutionDepth];
    int depth;
    bool failed;
};

bool charge(Resolver* r, uint64_t units) {
    if (r->budget->left < units) {
        r->budget->left = 0;
        r->budget->spent = true;
        r->failed = true;
        return false;
    }
    r->budget->left -= units;
    return true;
}

// The value of the element's first attribute of that name (any case), or none.
char* elementAttribute(Resolver* r, Node* element, const char* name) {
    for (Attr* a = element->properties; a != nullptr; a = a->next) {
        if (!charge(r, 1))
            return nullptr;
        if (sameName(reinterpret_cast<const char*>(a->name), name))
            return attributeValue(r->doc, a, &r->failed);
    }
    return nullptr;
}

bool inChain(const Resolver* r, const TableDefn* d) {
    for (int i = 0; i < r->depth; ++i) {
        if (r->chain[i] == d)
            return true;
    }
    return false;
}

void resolveFirstPass(Resolver* r, Node* element, KeyRefs* refs);

// The foreign-key references of `tableName`, built and resolved for
// `element` as the first pass does; false when they cannot be (no
// definition, a cycle, too deep). The caller frees `out`.
bool resolveTableRefs(Resolver* r, Node* element, const char* tableName, KeyRefs* out) {
    out->items = nullptr;
    out->count = 0;
    TableDefn* defn = FindTableDefn(tableName);
    if (defn == nullptr || inChain(r, defn) || r->depth >= kMaxKeyResolutionDepth)
        return false;
    if (!buildForeignRefs(defn, out)) {
        r->failed = true;
        return false;
    }
    r->chain[r->depth++] = defn;
    resolveFirstPass(r, element, out);
    --r->depth;
    return true;
}

const char* refValueForLocal(const KeyRefs* refs, const char* local) {
    for (int i = 0; i < refs->count; ++i) {
        if (sameName(refs->items[i].local, local))
            return refs->items[i].value;
    }
    return nullptr;
}

void resolveFirstPass(Resolver* r, Node* element, KeyRefs* refs) {
    if (refs->count == 0)
        return;
    // The nested resolution of a referenced table depends on the element
    // alone, not on which ancestor asked for it, so each is made once.
    struct Nested {
        const char* table;
        bool usable;
        KeyRefs refs;
    };
    auto* nested = static_cast<Nested*>(calloc(static_cast<size_t>(refs->count), sizeof(Nested)));
    if (nested == nullptr) {
        r->failed = true;
        return;
    }
    int nestedCount = 0;
    for (Node* anc = parentElement(element); anc != nullptr && !r->failed && charge(r, 1);
         anc = parentElement(anc)) {
        bool pending = false;
        for (int i = 0; i < refs->count && !r->failed; ++i) {
            KeyRef& ref = refs->items[i];
            if (ref.value != nullptr)
                continue;
            pending = true;
            ref.value = elementAttribute(r, anc, ref.column);
            if (ref.value != nullptr || r->failed || !sameName(nodeName(anc), ref.table))
                continue;
            Nested* found = nullptr;
            for (int k = 0; k < nestedCount; ++k) {
                if (sameName(nested[k].table, ref.table))
                    found = &nested[k];
            }
            if (found == nullptr) {
                found = &nested[nestedCount++];
                found->table = ref.table;
                found->usable = resolveTableRefs(r, element, ref.table, &found->refs);
            }
            const char* v = found->usable ? refValueForLocal(&found->refs, ref.column) : nullptr;
            if (v != nullptr) {
                ref.value = copyText(v);
                r->failed = ref.value == nullptr;
            }
        }
        if (!pending)
            break;
    }
    for (int k = 0; k < nestedCount; ++k)
        freeKeyRefs(&nested[k].refs);
    free(nested);
}

// References still without value are looked for below the element, along
// one chain: the node after the first child, then the node after that one's
// first child, and so on.
void resolveSecondPass(Resolver* r, Node* element, KeyRefs* refs) {
    for (int i = 0; i < refs->count && !r->failed; ++i) {
        KeyRef& ref = refs->items[i];
        if (ref.value != nullptr)
            continue;
        Node* n = element->children != nullptr ? element->children->next : nullptr;
        while (n != nullptr && !r->failed && charge(r, 1)) {
            if (n->type == twxml::kElementNode && sameName(nodeName(n), ref.table)) {
                char* v = elementAttribute(r, n, ref.column);
                if (v == nullptr && !r->failed) {
                    KeyRefs own;
                    if (resolveTableRefs(r, n, ref.table, &own)) {
                        const char* found = refValueForLocal(&own, ref.column);
                        if (found != nullptr) {
                            v = copyText(found);
                            r->failed = v == nullptr;
                        }
                    }
                    freeKeyRefs(&own);
                }
                if (v != nullptr) {
                    ref.value = v;
                    break;
                }
            }
            if (n->children == nullptr)
                break;
            n = n->children->next;
        }
    }
}

bool buildPrimaryRefs(Resolver* r, Node* element, TableDefn* defn, KeyRefs* out) {
    out->items = nullptr;
    out->count = 0;
    if (defn == nullptr || defn->constraints == nullptr || defn->constraints->primaryKeyCount <= 0)
        return true;
    ConstraintDefn* c = defn->constraints;
    if (!reserveKeyRefs(out, c->primaryKeyCount))
        return false;
    for (int32_t i = 0; i < c->primaryKeyCount; ++i) {
        const char* pk = c->primaryKeys[i];
        bool isForeign = false;
        if (c->foreignKeys != nullptr && c->foreignKeys->count > 0) {
            LogTrace("Foreign key Constraints\n");
            LogTrace("********************************\n");
            for (VectorNode* n = c->foreignKeys->head; n != nullptr; n = n->next) {
                auto* fk = static_cast<ForeignKeyDefn*>(n->data);
                LogTrace("Column Name : %s\n", fk->localColumn);
                if (sameName(fk->localColumn, pk)) {
                    isForeign = true;
                    break;
                }
            }
        }
        if (isForeign)
            continue;
        LogTrace("Primary key : %s\n\n", pk);
        out->items[out->count++] = KeyRef{nullptr, pk, pk, nullptr};
    }
    for (Node* anc = parentElement(element); anc != nullptr && !r->failed && charge(r, 1);
         anc = parentElement(anc)) {
        bool pending = false;
        for (int i = 0; i < out->count && !r->failed; ++i) {
            if (out->items[i].value == nullptr) {
                pending = true;
                out->items[i].value = elementAttribute(r, anc, out->items[i].column);
            }
        }
        if (!pending)
            break;
    }
    return !r->failed;
}

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
    char* third;             // up to the next colon
    const char* afterSecond; // the text after the second colon
};

bool splitReference(const char* text, Reference* ref) {
    const char* c1 = strchr(text, ':');
    const char* c2 = strchr(c1 + 1, ':');
    const char* c3 = strchr(c2 + 1, ':');
    ref->table = copyBytes(text, static_cast<size_t>(c1 - text));
    ref->column = copyBytes(c1 + 1, static_cast<size_t>(c2 - c1 - 1));
    ref->third =
        c3 != nullptr ? copyBytes(c2 + 1, static_cast<size_t>(c3 - c2 - 1)) : copyText(c2 + 1);
    ref->afterSecond = c2 + 1;
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
    RowObject* row = CreatePackedRowObject(count);
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
        Reference ref{};
        ok = splitReference(text, &ref);
        if (!ok) {
            freeReference(&ref);
            break;
        }
        if (sameName(name, "Workflow_Statements") && sameName(col->name, "NEXT_STATEMENT_ID") &&
            strcmp(ref.third, "0") == 0) {
            // The end of a workflow: no statement follows.
            values[i] = newIdValue(0);
            lengths[i] = 4;
            ok = values[i] != nullptr;
        } else if (col->type == ORR_SQL_CHAR || col->type == ORR_SQL_VARCHAR ||
                   col->type == ORR_SQL_BLOB || col->type == ORR_SQL_TEXT) {
            ok = AllocateAndCopyColumnValue(&values[i], &lengths[i], col->type, ref.afterSecond) ==
                 1;
            set[i] = true;
        } else if (col->type == ORR_SQL_DATE || col->type == ORR_SQL_TIME ||
                   col->type == ORR_SQL_DATETIME) {
            ok = AllocateAndCopyColumnValue(&values[i], &lengths[i], col->type, text) == 1;
            set[i] = true;
        } else {
            int32_t id = -1;
            IdResult r = identifierForReference(map, name, col, text, ref, &id);
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
        }
        freeReference(&ref);
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

// Parses checked bytes; none (with the parse error logged) when they are
// refused or unparsable.
Doc* parseDocument(const char* text, size_t length, const char* url) {
    size_t usable = 0;
    if (const char* why = twxml::CheckDocument(text, length, &usable)) {
        LogError("%s", why);
        LogError(kParseError);
        return nullptr;
    }
    // No entity substitution into the tree, no network, libxml2's default
    // limits (no XML_PARSE_HUGE); its own error printing is silenced, the
    // failure is logged here.
    Doc* doc =
        twxml::ReadMemory(text, static_cast<int>(usable), url, nullptr,
                          twxml::kParseNoNet | twxml::kParseNoError | twxml::kParseNoWarning);
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
