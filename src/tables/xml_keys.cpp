// Key values a row inherits from the elements around it: foreign keys from
// the ancestors named after the referenced table (and the chains below the
// element), primary keys from the ancestors, all within the load's budget.
#include "tables/xml_loader_parts.h"
#include "tables/table_internal.h"
#include "base/log.h"

#include <stdlib.h>
#include <string.h>

namespace twxml::load {

static bool reserveKeyRefs(KeyRefs* refs, int n) {
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

static bool charge(Resolver* r, uint64_t units) {
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
static char* elementAttribute(Resolver* r, Node* element, const char* name) {
    for (Attr* a = element->properties; a != nullptr; a = a->next) {
        if (!charge(r, 1))
            return nullptr;
        if (sameName(reinterpret_cast<const char*>(a->name), name))
            return attributeValue(r->doc, a, &r->failed);
    }
    return nullptr;
}

static bool inChain(const Resolver* r, const TableDefn* d) {
    for (int i = 0; i < r->depth; ++i) {
        if (r->chain[i] == d)
            return true;
    }
    return false;
}

// The foreign-key references of `tableName`, built and resolved for
// `element` as the first pass does; false when they cannot be (no
// definition, a cycle, too deep). The caller frees `out`.
static bool resolveTableRefs(Resolver* r, Node* element, const char* tableName, KeyRefs* out) {
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

static const char* refValueForLocal(const KeyRefs* refs, const char* local) {
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

} // namespace twxml::load
