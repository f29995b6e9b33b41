#include "tables/xml_binding.h"
#include "base/log.h"

#include <windows.h>

#ifdef _WIN32

namespace twxml {
namespace {

typedef Doc*(__cdecl* ReadMemoryFn)(const char*, int, const char*, const char*, int);
typedef Node*(__cdecl* DocGetRootElementFn)(Doc*);
typedef unsigned char*(__cdecl* NodeListGetStringFn)(Doc*, Node*, int);
typedef void(__cdecl* FreeFn)(void*);
typedef FreeFn*(__cdecl* FreeAccessorFn)(void);
typedef void(__cdecl* FreeDocFn)(Doc*);
typedef void(__cdecl* CleanupParserFn)(void);

struct Api {
    HMODULE module;
    ReadMemoryFn readMemory;
    DocGetRootElementFn docGetRootElement;
    NodeListGetStringFn nodeListGetString;
    FreeFn* freeVariable; // xmlFree is a variable holding the free function
    FreeDocFn freeDoc;
    CleanupParserFn cleanupParser;
};

Api g_api;
bool g_loaded = false;

const char kLibraryName[] = "twlibxml2.dll";

template <class Fn> bool bind(HMODULE m, const char* name, Fn* out) {
    FARPROC p = GetProcAddress(m, name);
    if (p == nullptr) {
        LogError("%s: the function %s is missing (error %lu)\n", kLibraryName, name,
                 static_cast<unsigned long>(GetLastError()));
        return false;
    }
    *out = reinterpret_cast<Fn>(reinterpret_cast<void*>(p));
    return true;
}

} // namespace

bool Load() {
    if (g_loaded)
        return true;
    HMODULE m = LoadLibraryA(kLibraryName);
    if (m == nullptr) {
        LogError("Cannot load %s (error %lu); XML documents cannot be read.\n", kLibraryName,
                 static_cast<unsigned long>(GetLastError()));
        return false;
    }
    Api api{};
    api.module = m;
    bool ok = bind(m, "xmlReadMemory", &api.readMemory) &&
              bind(m, "xmlDocGetRootElement", &api.docGetRootElement) &&
              bind(m, "xmlNodeListGetString", &api.nodeListGetString) &&
              bind(m, "xmlFreeDoc", &api.freeDoc) &&
              bind(m, "xmlCleanupParser", &api.cleanupParser);
    if (ok) {
        // Builds with per-thread allocators export an accessor instead of the variable.
        FARPROC var = GetProcAddress(m, "xmlFree");
        if (var != nullptr) {
            api.freeVariable = reinterpret_cast<FreeFn*>(reinterpret_cast<void*>(var));
        } else {
            FreeAccessorFn accessor = nullptr;
            ok = bind(m, "__xmlFree", &accessor);
            api.freeVariable = ok ? accessor() : nullptr;
            ok = ok && api.freeVariable != nullptr;
        }
    }
    if (!ok) {
        FreeLibrary(m);
        return false;
    }
    g_api = api;
    g_loaded = true;
    return true;
}

Doc* ReadMemory(const char* buffer, int size, const char* url, const char* encoding, int options) {
    return g_loaded ? g_api.readMemory(buffer, size, url, encoding, options) : nullptr;
}

Node* DocGetRootElement(Doc* doc) {
    return g_loaded ? g_api.docGetRootElement(doc) : nullptr;
}

unsigned char* NodeListGetString(Doc* doc, Node* list, int inLine) {
    return g_loaded ? g_api.nodeListGetString(doc, list, inLine) : nullptr;
}

void Free(void* p) {
    if (g_loaded && p != nullptr && *g_api.freeVariable != nullptr)
        (*g_api.freeVariable)(p);
}

void FreeDoc(Doc* doc) {
    if (g_loaded && doc != nullptr)
        g_api.freeDoc(doc);
}

void CleanupParser() {
    if (g_loaded)
        g_api.cleanupParser();
}

} // namespace twxml

#else // linked libxml2

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <stddef.h>

namespace twxml {

static_assert(sizeof(Node) == sizeof(xmlNode) && sizeof(Attr) == sizeof(xmlAttr));
static_assert(offsetof(Node, type) == offsetof(xmlNode, type));
static_assert(offsetof(Node, name) == offsetof(xmlNode, name));
static_assert(offsetof(Node, children) == offsetof(xmlNode, children));
static_assert(offsetof(Node, parent) == offsetof(xmlNode, parent));
static_assert(offsetof(Node, next) == offsetof(xmlNode, next));
static_assert(offsetof(Node, content) == offsetof(xmlNode, content));
static_assert(offsetof(Node, properties) == offsetof(xmlNode, properties));
static_assert(offsetof(Attr, name) == offsetof(xmlAttr, name));
static_assert(offsetof(Attr, children) == offsetof(xmlAttr, children));
static_assert(offsetof(Attr, next) == offsetof(xmlAttr, next));
static_assert(kElementNode == int{XML_ELEMENT_NODE} && kTextNode == int{XML_TEXT_NODE} &&
              kEntityRefNode == int{XML_ENTITY_REF_NODE} &&
              kDocumentNode == int{XML_DOCUMENT_NODE} &&
              kCDataSectionNode == int{XML_CDATA_SECTION_NODE});
static_assert(kParseNoError == XML_PARSE_NOERROR && kParseNoWarning == XML_PARSE_NOWARNING &&
              kParseNoNet == XML_PARSE_NONET);

bool Load() {
    return true;
}

Doc* ReadMemory(const char* buffer, int size, const char* url, const char* encoding, int options) {
    return reinterpret_cast<Doc*>(xmlReadMemory(buffer, size, url, encoding, options));
}

Node* DocGetRootElement(Doc* doc) {
    return reinterpret_cast<Node*>(xmlDocGetRootElement(reinterpret_cast<xmlDoc*>(doc)));
}

unsigned char* NodeListGetString(Doc* doc, Node* list, int inLine) {
    return xmlNodeListGetString(reinterpret_cast<xmlDoc*>(doc), reinterpret_cast<xmlNode*>(list),
                                inLine);
}

void Free(void* p) {
    if (p != nullptr)
        xmlFree(p);
}

void FreeDoc(Doc* doc) {
    if (doc != nullptr)
        xmlFreeDoc(reinterpret_cast<xmlDoc*>(doc));
}

void CleanupParser() {
    xmlCleanupParser();
}

} // namespace twxml

#endif
