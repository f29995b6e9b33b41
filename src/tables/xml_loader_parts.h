// Pieces of the XML table loader shared by its source files: names and
// attribute values read from the document, and the key values a row inherits
// from the elements around it.
#pragma once

#include "tables/table_data.h"
#include "tables/xml_binding.h"

#include <stddef.h>
#include <stdint.h>

namespace twxml::load {

// Foreign keys can form cycles; resolving through them stops at a table
// already being resolved and at this depth.
const int kMaxKeyResolutionDepth = 8;

// What one load carries from element to element.
struct LoadState {
    uint64_t left; // the work budget
    bool spent;
    // The table of the last element: siblings are mostly rows of one table,
    // and libxml2 keeps one copy of each name, so a name compares by address.
    const unsigned char* lastName;
    TableData* lastTable;
};

bool sameName(const char* a, const char* b);
const char* nodeName(const Node* n);
Node* parentElement(const Node* n);
char* copyBytes(const char* s, size_t n);
char* copyText(const char* s);
// "TABLE:COLUMN:PART" as a new text.
char* formatKey(const char* table, const char* column, const char* part);

// The value of an attribute with entity references substituted, as a
// malloc'd text; none with *failed set when memory runs out or the value
// would expand beyond bounds.
char* attributeValue(Doc* doc, Attr* a, bool* failed);

struct Attribute {
    const char* name;
    const char* value; // the node's own text, or `owned`
    char* owned;
};

struct AttributeList {
    Attribute* items; // `first` for elements of up to kFirstAttributes
    int count;
    static const int kFirstAttributes = 16;
    Attribute first[kFirstAttributes];
};

void freeAttributes(AttributeList* list);
// The element's attributes as (name, value) pairs in document order. A value
// that is one text node is read in place, without a copy.
bool ReadElementAttributes(Doc* doc, Node* element, AttributeList* out);
const char* findAttribute(const AttributeList* list, const char* name);

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

struct Resolver {
    Doc* doc;
    LoadState* budget;
    TableDefn* chain[kMaxKeyResolutionDepth];
    int depth;
    bool failed;
};

// The foreign-key references of a table's definition, without values yet.
bool buildForeignRefs(TableDefn* defn, KeyRefs* out);
void freeKeyRefs(KeyRefs* refs);
// Values for the references from the element's ancestors and their chains.
void resolveFirstPass(Resolver* r, Node* element, KeyRefs* refs);
// References still without value are looked for below the element, along
// one chain: the node after the first child, then the node after that one's
// first child, and so on.
void resolveSecondPass(Resolver* r, Node* element, KeyRefs* refs);
// The primary-key values the element inherits from its ancestors.
bool buildPrimaryRefs(Resolver* r, Node* element, TableDefn* defn, KeyRefs* out);

} // namespace twxml::load
