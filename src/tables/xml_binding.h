// The few libxml2 calls the table loader makes, bound when the first document
// is read: on Windows from "twlibxml2.dll", on Linux from the system's libxml2
// (its soname), so that a run that reads no document never loads it. The node
// records repeat the public field order of libxml2's xmlNode and xmlAttr (the
// Linux build checks that they match).
#pragma once

namespace twxml {

enum NodeType {
    kElementNode = 1,
    kAttributeNode = 2,
    kTextNode = 3,
    kCDataSectionNode = 4,
    kEntityRefNode = 5,
    kDocumentNode = 9,
};

// libxml2's parser options that the loader uses.
const int kParseNoError = 1 << 5;
const int kParseNoWarning = 1 << 6;
const int kParseNoNet = 1 << 11;
const int kParseCompact = 1 << 16;

struct Doc;
struct Attr;
struct Node;

struct Node {
    void* privateData;
    int type;
    const unsigned char* name;
    Node* children;
    Node* last;
    Node* parent;
    Node* next;
    Node* prev;
    Doc* doc;
    void* ns;
    unsigned char* content;
    Attr* properties;
    void* nsDef;
    void* psvi;
    unsigned short line;
    unsigned short extra;
};

struct Attr {
    void* privateData;
    int type;
    const unsigned char* name;
    Node* children;
    Node* last;
    Node* parent;
    Attr* next;
    Attr* prev;
    Doc* doc;
    void* ns;
    int atype;
    void* psvi;
};

// Binds the functions once; false (with an error line in the log) when the
// library or one of its functions is missing. Safe to call again.
bool Load();

// Binds the library first when that has not happened yet.
Doc* ReadMemory(const char* buffer, int size, const char* url, const char* encoding, int options);
Node* DocGetRootElement(Doc* doc);
// Text of a node list with entity references substituted when inLine is 1;
// release with Free.
unsigned char* NodeListGetString(Doc* doc, Node* list, int inLine);
void Free(void* p);
void FreeDoc(Doc* doc);
void CleanupParser();

} // namespace twxml
