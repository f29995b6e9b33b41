// Names and attribute values of the XML table loader, with entity
// references expanded within bounds.
#include "tables/xml_loader_parts.h"
#include "tables/table_internal.h"
#include "base/log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace twxml::load {

// An attribute whose entity references expand past this is not loaded.
const size_t kMaxExpandedValue = 16u * 1024u * 1024u;
// libxml2's node type of an entity declaration.
const int kEntityDeclNode = 17;

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
static bool expansionWithin(Node* list, size_t budget) {
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

void freeAttributes(AttributeList* list) {
    for (int i = 0; i < list->count; ++i)
        free(list->items[i].owned);
    if (list->items != list->first)
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
    // Most elements have a few attributes: their list lives in `out` itself.
    if (count <= AttributeList::kFirstAttributes) {
        out->items = out->first;
        memset(out->first, 0, sizeof out->first[0] * static_cast<size_t>(count));
    } else {
        out->items = static_cast<Attribute*>(calloc(static_cast<size_t>(count), sizeof(Attribute)));
    }
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
    // Every column of every row asks: the first letters rule out most
    // attributes without a full comparison.
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    const char first = fold(name[0]);
    for (int i = 0; i < list->count; ++i) {
        const char* candidate = list->items[i].name;
        if (fold(candidate[0]) == first && sameName(candidate, name))
            return list->items[i].value;
    }
    return nullptr;
}

} // namespace twxml::load
